// The trailer reader: finding the document and cutting the trailer off.

#include <cstdio>
#include <cstring>
#include <new>

#include "gstzarnnvmetademux.h"
#include "zarntrailer.h"

unsigned char *extract_json_from_buffer(GstBuffer *buffer, unsigned int *length) {
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
    std::fputs("Failed to map buffer\n", stderr);
    return NULL;
  }
  std::uint32_t l;
  std::size_t offset;
  unsigned char *document = NULL;
  // The length is checked against the buffer before anything is allocated.
  if (zarn::locate_document(map.data, map.size, &l, &offset)) {
    document = new (std::nothrow) unsigned char[l ? l : 1];
    if (document) {
      std::memcpy(document, map.data + offset, l);
      *length = l;
    }
  }
  gst_buffer_unmap(buffer, &map);
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
