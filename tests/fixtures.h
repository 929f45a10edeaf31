// Records, buffers and trailers for the tests.
#ifndef ZARN_TESTS_FIXTURES_H
#define ZARN_TESTS_FIXTURES_H

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gst/gst.h>

#include "gstnvdsmeta.h"
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

// Copied out block by block: mapping a buffer of several memory blocks
// would merge them into one.
inline std::vector<guint8> bytes_of(GstBuffer *buffer) {
  std::vector<guint8> bytes(gst_buffer_get_size(buffer));
  if (!bytes.empty())
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
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

// One detected object for a batch under construction.
struct ObjectSpec {
  float left, top, width, height, confidence;
  const char *label;
  const char *display_text;
  float tracker_confidence = 0.0f;
  guint64 object_id = UNTRACKED_OBJECT_ID;
  // (classifier id, labels with their probabilities)
  std::vector<std::pair<gint, std::vector<std::pair<const char *, float>>>> classifiers = {};
};

inline NvDsObjectMeta *add_object(NvDsBatchMeta *batch, NvDsFrameMeta *frame,
                                  const ObjectSpec &want) {
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  obj->rect_params.left = want.left;
  obj->rect_params.top = want.top;
  obj->rect_params.width = want.width;
  obj->rect_params.height = want.height;
  obj->confidence = want.confidence;
  g_strlcpy(obj->obj_label, want.label, MAX_LABEL_SIZE);
  obj->text_params.display_text = want.display_text ? g_strdup(want.display_text) : NULL;
  obj->tracker_confidence = want.tracker_confidence;
  obj->tracker_bbox_info.org_bbox_coords = {want.left, want.top, want.width, want.height};
  obj->object_id = want.object_id;
  for (const auto &c : want.classifiers) {
    NvDsClassifierMeta *classifier = nvds_acquire_classifier_meta_from_pool(batch);
    classifier->unique_component_id = c.first;
    for (const auto &l : c.second) {
      NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
      g_strlcpy(label->result_label, l.first, MAX_LABEL_SIZE);
      label->result_prob = l.second;
      nvds_add_label_info_meta_to_classifier(classifier, label);
    }
    nvds_add_classifier_meta_to_object(obj, classifier);
  }
  nvds_add_obj_meta_to_frame(frame, obj, NULL);
  return obj;
}

// An empty batch attached to the buffer, as the stream muxer attaches it.
inline NvDsBatchMeta *attach_new_batch(GstBuffer *buffer) {
  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  batch->base_meta.copy_func = nvds_batch_meta_copy_func;
  batch->base_meta.release_func = nvds_batch_meta_release_func;
  NvDsMeta *meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                            nvds_batch_meta_release_func);
  meta->meta_type = NVDS_BATCH_GST_META;
  return batch;
}

inline NvDsFrameMeta *add_frame(NvDsBatchMeta *batch, gint frame_num) {
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
  frame->frame_num = frame_num;
  nvds_add_frame_meta_to_batch(batch, frame);
  return frame;
}

// A frame user meta carrying a copy of an identity or dimensions record, as
// the stream muxer leaves it.
template <typename Record>
inline void add_record_user_meta(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDsMetaType type,
                                 const Record &record) {
  NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(batch);
  user->base_meta.meta_type = type;
  user->user_meta_data = g_memdup(&record, sizeof record);
  user->base_meta.release_func = [](gpointer data, gpointer) {
    auto *u = static_cast<NvDsUserMeta *>(data);
    g_free(u->user_meta_data);
    u->user_meta_data = NULL;
  };
  nvds_add_user_meta_to_frame(frame, user);
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
