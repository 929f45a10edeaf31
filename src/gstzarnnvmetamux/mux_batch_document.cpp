// The batch document: one frame entry per frame of the buffer's batch, with
// its objects and the frame's identity and dimensions records.

#include <cstring>

#include "mux_document.h"
#include "mux_writer.h"
#include "zarntrailer.h"

namespace doc = zarn::doc;
using zarn::mux::RecordMembers;
using zarn::mux::TextWriter;

namespace {

// Label arrays are NUL-terminated by contract, but a label that fills all
// its bytes must not be read past them.
void label(TextWriter &w, const char *text) { w.value(text, strnlen(text, MAX_LABEL_SIZE)); }

void number(TextWriter &w, const char *name, float value) {
  w.key(name);
  w.value(static_cast<double>(value));
}

void tracker_entry(TextWriter &w, const NvDsObjectMeta &obj) {
  const NvBbox_Coords &box = obj.tracker_bbox_info.org_bbox_coords;
  w.key(doc::kTracker);
  w.begin_object();
  number(w, doc::kHeight, box.height);
  number(w, doc::kLeft, box.left);
  w.key(doc::kObjectId);
  w.value_unsigned(static_cast<std::uint64_t>(obj.object_id));
  number(w, doc::kTop, box.top);
  number(w, doc::kTrackerConfidence, obj.tracker_confidence);
  number(w, doc::kWidth, box.width);
  w.end_object();
}

// Labels of every classifier of the object in walk order; empty labels are
// skipped.
void class_entries(TextWriter &w, const NvDsObjectMeta &obj) {
  w.key(doc::kClasses);
  w.begin_array();
  for (GList *c = obj.classifier_meta_list; c; c = c->next) {
    const auto *classifier = static_cast<const NvDsClassifierMeta *>(c->data);
    for (GList *l = classifier->label_info_list; l; l = l->next) {
      const auto *info = static_cast<const NvDsLabelInfo *>(l->data);
      if (info->result_label[0] == '\0')
        continue;
      w.begin_object();
      w.key(doc::kClassifierId);
      w.value(static_cast<std::int64_t>(classifier->unique_component_id));
      w.key(doc::kResultLabel);
      label(w, info->result_label);
      number(w, doc::kResultProb, info->result_prob);
      w.end_object();
    }
  }
  w.end_array();
}

// Members in name order, as every object of the document.
void object_entry(TextWriter &w, const NvDsObjectMeta &obj) {
  w.begin_object();
  class_entries(w, obj);
  number(w, doc::kConfidence, obj.confidence);
  w.key(doc::kDisplayText);
  const char *text = obj.text_params.display_text;
  w.value(text ? text : "", text ? std::strlen(text) : 0);
  number(w, doc::kHeight, obj.rect_params.height);
  number(w, doc::kLeft, obj.rect_params.left);
  w.key(doc::kObjLabel);
  label(w, obj.obj_label);
  number(w, doc::kTop, obj.rect_params.top);
  if (obj.tracker_confidence != 0.0f)
    tracker_entry(w, obj);
  number(w, doc::kWidth, obj.rect_params.width);
  w.end_object();
}

void frame_entry(TextWriter &w, const NvDsFrameMeta &frame, std::int64_t now) {
  RecordMembers records;
  for (GList *u = frame.frame_user_meta_list; u; u = u->next) {
    const auto *user = static_cast<const NvDsUserMeta *>(u->data);
    if (!user->user_meta_data)
      continue;
    if (user->base_meta.meta_type == NVDS_META_ID_TYPE)
      records.add(*static_cast<const NvDsMetaId *>(user->user_meta_data));
    else if (user->base_meta.meta_type == NV_DIMS_TYPE)
      records.add(*static_cast<const NvDims *>(user->user_meta_data));
  }
  w.begin_object();
  w.key(doc::kFrameNum);
  w.value(static_cast<std::int64_t>(frame.frame_num));
  records.write_id(w);
  w.key(doc::kObjects);
  w.begin_array();
  for (GList *o = frame.obj_meta_list; o; o = o->next)
    object_entry(w, *static_cast<const NvDsObjectMeta *>(o->data));
  w.end_array();
  records.write_resolution(w);
  records.write_ts(w, now);
  w.end_object();
}

} // namespace

namespace zarn {
namespace mux {

void write_batch_document(GstBuffer *buffer, std::int64_t now, std::string &out) {
  TextWriter w(out);
  w.begin_object();
  w.key(doc::kFrames);
  w.begin_array();
  if (const NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer)) {
    for (GList *f = batch->frame_meta_list; f; f = f->next)
      frame_entry(w, *static_cast<const NvDsFrameMeta *>(f->data), now);
  }
  w.end_array();
  w.end_object();
}

} // namespace mux
} // namespace zarn
