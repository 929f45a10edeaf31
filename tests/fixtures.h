// Records, buffers and trailers for the tests.
#ifndef ZARN_TESTS_FIXTURES_H
#define ZARN_TESTS_FIXTURES_H

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gst/gst.h>

#include "zarnmeta.h"
#include "zarntrailer.h"

namespace zarn_test {

inline NvDsMetaId *new_id(int64_t id, int64_t received = 0, int64_t corrected = 0,
                          int64_t img_pts = 0) {
  NvDsMetaId *meta = g_new0(NvDsMetaId, 1);
  meta->id = id;
  meta->received = received;
  meta->corrected = corrected;
  meta->img_pts = img_pts;
  return meta;
}

inline NvDims *new_dims(int64_t sw, int64_t sh, int64_t ew, int64_t eh) {
  NvDims *dims = g_new0(NvDims, 1);
  set_start_dimensions(dims, sw, sh);
  set_end_dimensions(dims, ew, eh);
  return dims;
}

// A buffer whose payload bytes are 0, 1, 2, ... (mod 256).
inline GstBuffer *payload_buffer(gsize size) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, size, NULL);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (gsize i = 0; i < size; i++)
    map.data[i] = static_cast<guint8>(i);
  gst_buffer_unmap(buffer, &map);
  return buffer;
}

inline std::vector<guint8> bytes_of(GstBuffer *buffer) {
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  std::vector<guint8> bytes(map.data, map.data + map.size);
  gst_buffer_unmap(buffer, &map);
  return bytes;
}

// Payload and document of a muxed buffer; `ok` false when it holds no valid
// trailer.
struct Trailer {
  bool ok = false;
  std::vector<guint8> payload;
  std::string document;
};

inline Trailer split_trailer(GstBuffer *buffer) {
  const std::vector<guint8> bytes = bytes_of(buffer);
  Trailer t;
  std::uint32_t length;
  std::size_t offset;
  if (!zarn::locate_document(bytes.data(), bytes.size(), &length, &offset))
    return t;
  t.ok = true;
  t.payload.assign(bytes.begin(), bytes.begin() + offset);
  t.document.assign(reinterpret_cast<const char *>(bytes.data()) + offset, length);
  return t;
}

// payload | document | length, as the mux writes it.
inline GstBuffer *muxed_buffer(const std::vector<guint8> &payload, const std::string &document) {
  std::vector<guint8> bytes(payload);
  bytes.insert(bytes.end(), document.begin(), document.end());
  bytes.resize(bytes.size() + 4);
  zarn::write_trailer_length(bytes.data() + bytes.size() - 4,
                             static_cast<std::uint32_t>(document.size()));
  return gst_buffer_new_wrapped(g_memdup(bytes.data(), bytes.size()), bytes.size());
}

// The buffer's DeepStream metas in the order they were attached, whichever
// order the GStreamer version keeps them in.
inline std::vector<NvDsMeta *> nvds_metas_in_attach_order(GstBuffer *buffer) {
  std::vector<NvDsMeta *> metas;
  gpointer state = NULL;
  while (GstMeta *meta = gst_buffer_iterate_meta_filtered(buffer, &state, NVDS_META_API_TYPE))
    metas.push_back(reinterpret_cast<NvDsMeta *>(meta));
  // The platform's first DeepStream meta is the newest.
  if (!metas.empty() && metas.front() == gst_buffer_get_nvds_meta(buffer))
    std::reverse(metas.begin(), metas.end());
  return metas;
}

// The document with every "pipeline_time" value replaced by P; the values
// taken out are appended to `times`.
inline std::string without_pipeline_time(const std::string &doc, std::vector<int64_t> *times) {
  static const std::string member = "\"pipeline_time\":";
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = doc.find(member, from)) != std::string::npos;) {
    const std::size_t value = at + member.size();
    std::size_t end = value;
    if (end < doc.size() && doc[end] == '-')
      end++;
    while (end < doc.size() && doc[end] >= '0' && doc[end] <= '9')
      end++;
    times->push_back(std::stoll(doc.substr(value, end - value)));
    out += doc.substr(from, value - from) + "P";
    from = end;
  }
  return out + doc.substr(from);
}

} // namespace zarn_test

#endif
