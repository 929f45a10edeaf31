// The exported trailer writer, on the trailer carrier.

#include "gstzarnnvmetamux.h"
#include "mux_document.h"
#include "zarncarrier.h"

namespace zarn {
namespace mux {

GstBuffer *trailer_buffer(GstBuffer *buffer, const unsigned char *document, unsigned int length,
                          GstBufferCopyFlags flags) {
  return carrier::trailer::attach(buffer, reinterpret_cast<const char *>(document), length,
                                  flags);
}

} // namespace mux
} // namespace zarn

GstBuffer *add_json_to_buffer(GstBuffer *buffer, const unsigned char *document,
                              unsigned int length) {
  return zarn::mux::trailer_buffer(buffer, document, length, GST_BUFFER_COPY_NONE);
}
