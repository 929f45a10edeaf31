// The trailer carrier: the document after the payload.
//
//   payload (N bytes) | document (L bytes) | L (unsigned 32 bits, little-endian)
//
// There is no magic number: a reader finds the document only through the
// last four bytes, and takes it only when L leaves room for it. The length
// codec is zarntrailer.h's, which peers include.

#include <cstring>

#include "zarncarrier.h"
#include "zarntrailer.h"

namespace zarn {
namespace carrier {

void truncate(GstBuffer *buffer, gsize size) {
  const gsize total = gst_buffer_get_size(buffer);
  if (size >= total)
    return;
  if (size == 0) {
    gst_buffer_remove_all_memory(buffer);
    return;
  }
  guint index, blocks;
  gsize skip;
  if (!gst_buffer_find_memory(buffer, size, total - size, &index, &blocks, &skip))
    return;
  gst_buffer_remove_memory_range(buffer, skip == 0 ? index : index + 1, -1);
  if (skip != 0)
    gst_buffer_resize(buffer, 0, static_cast<gssize>(size));
}

GstMemory *new_block(gsize size, GstMapInfo *map) {
  GstMemory *memory = gst_allocator_alloc(NULL, size, NULL);
  if (memory && !gst_memory_map(memory, map, GST_MAP_WRITE)) {
    gst_memory_unref(memory);
    return NULL;
  }
  return memory;
}

namespace trailer {

Found locate(GstBuffer *buffer, Location *where) {
  // Only the last four bytes are read, block by block: nothing is merged.
  const gsize size = gst_buffer_get_size(buffer);
  std::uint8_t tail[kTrailerLengthSize];
  if (size < sizeof tail ||
      gst_buffer_extract(buffer, size - sizeof tail, tail, sizeof tail) != sizeof tail)
    return Found::kNone;
  const std::uint32_t length = read_trailer_length(tail);
  if (!trailer_fits(size, length))
    return Found::kNone;
  where->start = where->document = size - sizeof tail - length;
  where->end = size;
  where->length = length;
  return Found::kOurs;
}

bool read(GstBuffer *buffer, const Location &where, char *dst) {
  return gst_buffer_extract(buffer, where.document, dst, where.length) == where.length;
}

void remove(GstBuffer *buffer, const Location &where) {
  // Nothing would be left of a buffer that is all trailer: that one keeps
  // it.
  if (where.start != 0)
    truncate(buffer, where.start);
}

GstBuffer *attach(GstBuffer *buffer, const char *document, std::size_t length,
                  GstBufferCopyFlags flags) {
  if (length > UINT32_MAX)
    return NULL;
  GstMapInfo map;
  GstMemory *trailer = new_block(length + kTrailerLengthSize, &map);
  if (!trailer)
    return NULL;
  if (length != 0)
    std::memcpy(map.data, document, length);
  write_trailer_length(map.data + length, static_cast<std::uint32_t>(length));
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

} // namespace trailer
} // namespace carrier
} // namespace zarn
