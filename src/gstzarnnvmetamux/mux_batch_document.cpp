// The batch document: one frame entry per frame of the buffer's batch, with
// its objects and the frame's identity and dimensions records.

#include <cstring>

#include "mux_document.h"
#include "zarntrailer.h"

using nlohmann::json;
namespace doc = zarn::doc;

namespace {

// Label arrays are NUL-terminated by contract, but a label that fills all
// its bytes must not be read past them.
std::string bounded_label(const char *label) {
  return std::string(label, strnlen(label, MAX_LABEL_SIZE));
}

json tracker_entry(const NvDsObjectMeta &obj) {
  const NvBbox_Coords &box = obj.tracker_bbox_info.org_bbox_coords;
  json tracker = json::object();
  tracker[doc::kHeight] = static_cast<double>(box.height);
  tracker[doc::kWidth] = static_cast<double>(box.width);
  tracker[doc::kLeft] = static_cast<double>(box.left);
  tracker[doc::kTop] = static_cast<double>(box.top);
  tracker[doc::kTrackerConfidence] = static_cast<double>(obj.tracker_confidence);
  tracker[doc::kObjectId] = static_cast<std::uint64_t>(obj.object_id);
  return tracker;
}

// Labels of every classifier of the object in walk order; empty labels are
// skipped.
json class_entries(const NvDsObjectMeta &obj) {
  json classes = json::array();
  for (GList *c = obj.classifier_meta_list; c; c = c->next) {
    const auto *classifier = static_cast<const NvDsClassifierMeta *>(c->data);
    for (GList *l = classifier->label_info_list; l; l = l->next) {
      const auto *label = static_cast<const NvDsLabelInfo *>(l->data);
      if (label->result_label[0] == '\0')
        continue;
      json entry = json::object();
      entry[doc::kResultLabel] = bounded_label(label->result_label);
      entry[doc::kResultProb] = static_cast<double>(label->result_prob);
      entry[doc::kClassifierId] = classifier->unique_component_id;
      classes.push_back(std::move(entry));
    }
  }
  return classes;
}

json object_entry(const NvDsObjectMeta &obj) {
  json entry = json::object();
  entry[doc::kLeft] = static_cast<double>(obj.rect_params.left);
  entry[doc::kTop] = static_cast<double>(obj.rect_params.top);
  entry[doc::kHeight] = static_cast<double>(obj.rect_params.height);
  entry[doc::kWidth] = static_cast<double>(obj.rect_params.width);
  entry[doc::kConfidence] = static_cast<double>(obj.confidence);
  entry[doc::kObjLabel] = bounded_label(obj.obj_label);
  const char *text = obj.text_params.display_text;
  entry[doc::kDisplayText] = text ? text : "";
  if (obj.tracker_confidence != 0.0f)
    entry[doc::kTracker] = tracker_entry(obj);
  entry[doc::kClasses] = class_entries(obj);
  return entry;
}

// A later record of a kind replaces the members an earlier one wrote, as a
// whole, when it writes any of them.
void add_user_meta_members(json &entry, const NvDsUserMeta &user, std::int64_t now) {
  if (!user.user_meta_data)
    return;
  if (user.base_meta.meta_type == NVDS_META_ID_TYPE) {
    const auto *id = static_cast<const NvDsMetaId *>(user.user_meta_data);
    entry[doc::kId] = id->id;
    json ts = zarn::mux::timestamps_object(*id, now);
    if (!ts.empty())
      entry[doc::kTs] = std::move(ts);
  } else if (user.base_meta.meta_type == NV_DIMS_TYPE) {
    json resolution =
        zarn::mux::resolution_object(*static_cast<const NvDims *>(user.user_meta_data));
    if (!resolution.empty())
      entry[doc::kResolution] = std::move(resolution);
  }
}

json frame_entry(const NvDsFrameMeta &frame, std::int64_t now) {
  json entry = json::object();
  entry[doc::kFrameNum] = frame.frame_num;
  json objects = json::array();
  for (GList *o = frame.obj_meta_list; o; o = o->next)
    objects.push_back(object_entry(*static_cast<const NvDsObjectMeta *>(o->data)));
  for (GList *u = frame.frame_user_meta_list; u; u = u->next)
    add_user_meta_members(entry, *static_cast<const NvDsUserMeta *>(u->data), now);
  entry[doc::kObjects] = std::move(objects);
  return entry;
}

} // namespace

namespace zarn {
namespace mux {

json batch_frames(GstBuffer *buffer, std::int64_t now) {
  json frames = json::array();
  const NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer);
  if (!batch)
    return frames;
  for (GList *f = batch->frame_meta_list; f; f = f->next)
    frames.push_back(frame_entry(*static_cast<const NvDsFrameMeta *>(f->data), now));
  return frames;
}

} // namespace mux
} // namespace zarn
