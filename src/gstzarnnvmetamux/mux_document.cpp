// The metadata document: get_json_from_meta and the buffer-level builder.

#include "mux_document.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "gstzarnnvmetamux.h"
#include "mux_writer.h"

#define GST_CAT_DEFAULT gst_zarn_nv_meta_mux_debug

namespace doc = zarn::doc;
using zarn::mux::RecordMembers;
using zarn::mux::TextWriter;

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

// The records a buffer-level entry is built from: searching newest first,
// a later match replaces an earlier one until both kinds are found.
RecordMembers buffer_records(GstBuffer *buffer) {
  const NvDsMetaId *id = NULL;
  const NvDims *dims = NULL;
  for (NvDsMeta *meta : nvds_metas_newest_first(buffer)) {
    if (meta->meta_type == NVDS_META_ID_TYPE)
      id = static_cast<const NvDsMetaId *>(meta->meta_data);
    else if (meta->meta_type == NV_DIMS_TYPE)
      dims = static_cast<const NvDims *>(meta->meta_data);
    if (id && dims)
      break;
  }
  RecordMembers records;
  if (id)
    records.add(*id);
  if (dims)
    records.add(*dims);
  return records;
}

// The entry: an object of the members that are written, or null.
void write_buffer_entry(TextWriter &w, const RecordMembers &records, std::int64_t now) {
  if (records.empty()) {
    w.null();
    return;
  }
  w.begin_object();
  records.write_id(w);
  records.write_resolution(w);
  records.write_ts(w, now);
  w.end_object();
}

} // namespace

namespace zarn {
namespace mux {

void write_buffer_document(GstBuffer *buffer, std::int64_t now, Text &out) {
  const RecordMembers records = buffer_records(buffer);
  write_frames(out, [&records, now](TextWriter &w) { write_buffer_entry(w, records, now); });
}

} // namespace mux
} // namespace zarn

int64_t getTs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

nlohmann::json process_meta_from_buffer(GstBuffer *buffer) {
  zarn::mux::Text text;
  {
    TextWriter w(text);
    write_buffer_entry(w, buffer_records(buffer), getTs());
  }
  return nlohmann::json::parse(text.data.get(), text.data.get() + text.size);
}

namespace zarn {
namespace mux {

bool write_document(GstBuffer *buffer, GstzarnNvMetaMux *element, Text &text) {
  std::string path;
  if (element) {
    GST_OBJECT_LOCK(element);
    if (element->savepath)
      path.assign(element->savepath->str, element->savepath->len);
    GST_OBJECT_UNLOCK(element);
  }
  ensure_debug_category();
  const std::int64_t now = getTs();

  text.size = 0;
  NvDsMeta *first = gst_buffer_get_nvds_meta(buffer);
  if (!first)
    return false;
  if (first->meta_type == NVDS_BATCH_GST_META)
    write_batch_document(buffer, now, text);
  else
    write_buffer_document(buffer, getTs(), text);
  // The trailer's length has 32 bits.
  if (text.size > std::numeric_limits<std::uint32_t>::max()) {
    text.size = 0;
    return false;
  }
  GST_DEBUG_OBJECT(element, "%s document, %zu bytes",
                   first->meta_type == NVDS_BATCH_GST_META ? "batch" : "buffer-level",
                   text.size);
  if (element && !path.empty()) {
    const bool was_open = element->save_file != NULL;
    add_to_file(std::string(text.data.get(), text.size), path, &element->save_file);
    if (!element->save_file)
      GST_WARNING_OBJECT(element, "cannot open the document log file %s: %s", path.c_str(),
                         g_strerror(errno));
    else if (!was_open)
      GST_INFO_OBJECT(element, "document log file %s opened", path.c_str());
  }
  return true;
}

} // namespace mux
} // namespace zarn

unsigned char *get_json_from_meta(GstBuffer *buffer, unsigned int *length,
                                  GstzarnNvMetaMux *element) {
  zarn::mux::Text text;
  if (!zarn::mux::write_document(buffer, element, text))
    return NULL;
  auto *array = new unsigned char[text.size];
  std::memcpy(array, text.data.get(), text.size);
  *length = static_cast<unsigned int>(text.size);
  return array;
}
