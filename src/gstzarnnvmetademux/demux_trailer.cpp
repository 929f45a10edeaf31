// The trailer reader: finding the document and cutting the trailer off.

#include <cstdio>
#include <cstring>
#include <new>

#include "gstzarnnvmetademux.h"
#include "zarntrailer.h"

unsigned char *extract_json_from_buffer(GstBuffer *buffer, unsigned int *length) {
  // Read block by block: a buffer of several memory blocks is not merged.
  const gsize size = gst_buffer_get_size(buffer);
  std::uint8_t tail[zarn::kTrailerLengthSize];
  if (size >= sizeof tail &&
      gst_buffer_extract(buffer, size - sizeof tail, tail, sizeof tail) != sizeof tail) {
    std::fputs("Failed to map buffer\n", stderr);
    return NULL;
  }
  const std::uint32_t l = size >= sizeof tail ? zarn::read_trailer_length(tail) : 0;
  // The length is checked against the buffer before anything is allocated.
  if (!zarn::trailer_fits(size, l))
    return NULL;
  unsigned char *document = new (std::nothrow) unsigned char[l ? l : 1];
  if (!document)
    return NULL;
  if (gst_buffer_extract(buffer, size - sizeof tail - l, document, l) != l) {
    std::fputs("Failed to map buffer\n", stderr);
    delete[] document;
    return NULL;
  }
  *length = l;
  return document;
}

void trim_buffer(GstBuffer *buffer, unsigned int count) {
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    std::fputs("Failed to map buffer\n", stderr);
    return;
  }
  const gsize size = map.size;
  gst_buffer_unmap(buffer, &map);
  if (count < size)
    gst_buffer_resize(buffer, 0, static_cast<gssize>(size - count));
}
