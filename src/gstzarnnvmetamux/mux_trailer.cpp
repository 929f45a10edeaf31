// The trailer writer: payload, document, document length.

#include <cstring>

#include "gstzarnnvmetamux.h"
#include "zarntrailer.h"

GstBuffer *add_json_to_buffer(GstBuffer *buffer, const unsigned char *document,
                              unsigned int length) {
  GstMapInfo in;
  if (!gst_buffer_map(buffer, &in, GST_MAP_READ))
    return NULL;
  const gsize payload = in.size;
  GstBuffer *out =
      gst_buffer_new_allocate(NULL, payload + length + zarn::kTrailerLengthSize, NULL);
  GstMapInfo map;
  if (!out || !gst_buffer_map(out, &map, GST_MAP_WRITE)) {
    gst_buffer_unmap(buffer, &in);
    if (out)
      gst_buffer_unref(out);
    return NULL;
  }
  std::memcpy(map.data, in.data, payload);
  if (length != 0)
    std::memcpy(map.data + payload, document, length);
  zarn::write_trailer_length(map.data + payload + length, length);
  gst_buffer_unmap(out, &map);
  gst_buffer_unmap(buffer, &in);
  return out;
}
