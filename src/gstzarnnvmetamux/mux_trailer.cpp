// The trailer writer: the payload's memory blocks, shared, then one block
// with the document and its length.

#include <cstring>

#include "gstzarnnvmetamux.h"
#include "mux_document.h"
#include "zarntrailer.h"

namespace zarn {
namespace mux {

GstBuffer *trailer_buffer(GstBuffer *buffer, const unsigned char *document, unsigned int length,
                          GstBufferCopyFlags flags) {
  const gsize size = length + zarn::kTrailerLengthSize;
  GstMemory *trailer = gst_allocator_alloc(NULL, size, NULL);
  if (!trailer)
    return NULL;
  GstMapInfo map;
  if (!gst_memory_map(trailer, &map, GST_MAP_WRITE)) {
    gst_memory_unref(trailer);
    return NULL;
  }
  if (length != 0)
    std::memcpy(map.data, document, length);
  zarn::write_trailer_length(map.data + length, length);
  gst_memory_unmap(trailer, &map);

  // The payload's blocks are referenced, not copied.
  GstBuffer *out = gst_buffer_copy_region(
      buffer, static_cast<GstBufferCopyFlags>(flags | GST_BUFFER_COPY_MEMORY), 0,
      static_cast<gsize>(-1));
  if (!out) {
    gst_memory_unref(trailer);
    return NULL;
  }
  gst_buffer_append_memory(out, trailer);
  return out;
}

} // namespace mux
} // namespace zarn

GstBuffer *add_json_to_buffer(GstBuffer *buffer, const unsigned char *document,
                              unsigned int length) {
  return zarn::mux::trailer_buffer(buffer, document, length, GST_BUFFER_COPY_NONE);
}
