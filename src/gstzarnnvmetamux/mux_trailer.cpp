// The exported trailer writer, on the trailer carrier.

#include "gstzarnnvmetamux.h"
#include "zarncarrier.h"

GstBuffer *add_json_to_buffer(GstBuffer *buffer, const unsigned char *document,
                              unsigned int length) {
  return zarn::carrier::trailer::attach(buffer, reinterpret_cast<const char *>(document), length,
                                        GST_BUFFER_COPY_NONE);
}
