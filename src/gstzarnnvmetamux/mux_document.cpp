// The metadata document: get_json_from_meta and the buffer-level builder.

#include "mux_document.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "gstzarnnvmetamux.h"
#include "zarntrailer.h"

using nlohmann::json;
namespace doc = zarn::doc;

namespace zarn {
namespace mux {

json timestamps_object(const NvDsMetaId &id, std::int64_t now) {
  json ts = json::object();
  if (id.received != 0) {
    ts[doc::kReceived] = id.received;
    // Wrapping subtraction: a hostile "received" restored from a network
    // document must not overflow.
    ts[doc::kPipelineTime] = static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                                       static_cast<std::uint64_t>(id.received));
  }
  if (id.corrected != 0)
    ts[doc::kCorrected] = id.corrected;
  if (id.img_pts != 0)
    ts[doc::kImgPts] = id.img_pts;
  return ts;
}

json resolution_object(const NvDims &dims) {
  json resolution = json::object();
  if (dims.end_width != 0 && dims.end_height != 0)
    resolution[doc::kMux] = {dims.end_width, dims.end_height};
  if (dims.start_width != 0 && dims.start_height != 0)
    resolution[doc::kSrc] = {dims.start_width, dims.start_height};
  return resolution;
}

} // namespace mux
} // namespace zarn

namespace {

GQuark nvds_meta_tag() {
  static const GQuark tag = g_quark_from_static_string("nvdsmeta");
  return tag;
}

// The buffer's DeepStream metas, newest first. GStreamer before 1.20 keeps
// metas newest first, later versions oldest first; the platform's first
// DeepStream meta tells which end is the newest.
std::vector<NvDsMeta *> nvds_metas_newest_first(GstBuffer *buffer) {
  std::vector<NvDsMeta *> metas;
  gpointer state = NULL;
  GstMeta *meta;
  while ((meta = gst_buffer_iterate_meta(buffer, &state))) {
    if (gst_meta_api_type_has_tag(meta->info->api, nvds_meta_tag()))
      metas.push_back(reinterpret_cast<NvDsMeta *>(meta));
  }
  if (metas.size() > 1 && metas.back() == gst_buffer_get_nvds_meta(buffer))
    std::reverse(metas.begin(), metas.end());
  return metas;
}

} // namespace

int64_t getTs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

json process_meta_from_buffer(GstBuffer *buffer) {
  const std::int64_t now = getTs();
  const NvDsMetaId *id = NULL;
  const NvDims *dims = NULL;
  // A later match replaces an earlier one until both kinds are found.
  for (NvDsMeta *meta : nvds_metas_newest_first(buffer)) {
    if (meta->meta_type == NVDS_META_ID_TYPE)
      id = static_cast<const NvDsMetaId *>(meta->meta_data);
    else if (meta->meta_type == NV_DIMS_TYPE)
      dims = static_cast<const NvDims *>(meta->meta_data);
    if (id && dims)
      break;
  }

  json entry; // null until a member is set
  if (id) {
    entry[doc::kId] = id->id;
    json ts = zarn::mux::timestamps_object(*id, now);
    if (!ts.empty())
      entry[doc::kTs] = std::move(ts);
  }
  if (dims) {
    json resolution = zarn::mux::resolution_object(*dims);
    if (!resolution.empty())
      entry[doc::kResolution] = std::move(resolution);
  }
  return entry;
}

unsigned char *get_json_from_meta(GstBuffer *buffer, unsigned int *length,
                                  GstzarnNvMetaMux *element) {
  std::string path;
  if (element) {
    GST_OBJECT_LOCK(element);
    if (element->savepath)
      path.assign(element->savepath->str, element->savepath->len);
    GST_OBJECT_UNLOCK(element);
  }
  const std::int64_t now = getTs();

  NvDsMeta *first = gst_buffer_get_nvds_meta(buffer);
  if (!first)
    return NULL;

  json document;
  if (first->meta_type == NVDS_BATCH_GST_META)
    document[doc::kFrames] = zarn::mux::batch_frames(buffer, now);
  else
    document[doc::kFrames] = json::array({process_meta_from_buffer(buffer)});

  // Invalid UTF-8 in a text field becomes U+FFFD rather than an exception:
  // the document stays valid and the buffer keeps moving.
  const std::string text = document.dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > std::numeric_limits<std::uint32_t>::max())
    return NULL;

  auto *array = new unsigned char[text.size()];
  std::memcpy(array, text.data(), text.size());
  *length = static_cast<unsigned int>(text.size());

  if (element && !path.empty())
    add_to_file(text, path, &element->save_file);
  return array;
}
