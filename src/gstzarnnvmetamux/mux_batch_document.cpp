// The batch document: one frame entry per frame of the buffer's batch, with
// its objects and the frame's identity and dimensions records.

#include <cstring>

#include "mux_document.h"
#include "mux_writer.h"
#include "zarnmeta_frame.h"

namespace doc = zarn::doc;
namespace object = zarn::doc::object;
namespace tracker = zarn::doc::tracker;
namespace classification = zarn::doc::classification;
namespace frame = zarn::doc::frame;
using zarn::mux::RecordMembers;
using zarn::mux::TextWriter;

namespace {

// Label arrays are NUL-terminated by contract, but a label that fills all
// its bytes must not be read past them.
void label(TextWriter &w, const char *text) { w.value(text, strnlen(text, MAX_LABEL_SIZE)); }

void number(TextWriter &w, const doc::Member &name, float value) {
  w.key(name);
  w.value(static_cast<double>(value));
}

void tracker_entry(TextWriter &w, const NvDsObjectMeta &obj) {
  const NvBbox_Coords &box = obj.tracker_bbox_info.org_bbox_coords;
  const doc::Member *m = tracker::members;
  w.key(object::members[object::tracker]);
  w.begin_object();
  number(w, m[tracker::height], box.height);
  number(w, m[tracker::left], box.left);
  w.key(m[tracker::object_id]);
  w.value_unsigned(static_cast<std::uint64_t>(obj.object_id));
  number(w, m[tracker::top], box.top);
  number(w, m[tracker::tracker_confidence], obj.tracker_confidence);
  number(w, m[tracker::width], box.width);
  w.end_object();
}

// A classifier's label, or false when it has none. One too long for
// result_label is kept in pResult_label, with result_label left empty; it
// travels cut to whole characters.
bool class_label(const NvDsLabelInfo &info, const char **text, std::size_t *length) {
  if (info.result_label[0] != '\0') {
    *text = info.result_label;
    *length = strnlen(info.result_label, MAX_LABEL_SIZE);
  } else if (info.pResult_label && info.pResult_label[0] != '\0') {
    *text = info.pResult_label;
    *length = doc::label_length(*text, std::strlen(*text));
  } else {
    return false;
  }
  return true;
}

// Labels of every classifier of the object in walk order; empty labels are
// skipped.
void class_entries(TextWriter &w, const NvDsObjectMeta &obj) {
  const doc::Member *m = classification::members;
  w.key(object::members[object::classes]);
  w.begin_array();
  for (GList *c = obj.classifier_meta_list; c; c = c->next) {
    const auto *classifier = static_cast<const NvDsClassifierMeta *>(c->data);
    for (GList *l = classifier->label_info_list; l; l = l->next) {
      const auto *info = static_cast<const NvDsLabelInfo *>(l->data);
      const char *text;
      std::size_t length;
      if (!class_label(*info, &text, &length))
        continue;
      w.begin_object();
      w.key(m[classification::classifier_id]);
      w.value(static_cast<std::int64_t>(classifier->unique_component_id));
      w.key(m[classification::result_label]);
      w.value(text, length);
      number(w, m[classification::result_prob], info->result_prob);
      w.end_object();
    }
  }
  w.end_array();
}

// Members in name order, as every object of the document.
void object_entry(TextWriter &w, const NvDsObjectMeta &obj) {
  const doc::Member *m = object::members;
  w.begin_object();
  class_entries(w, obj);
  number(w, m[object::confidence], obj.confidence);
  w.key(m[object::display_text]);
  const char *text = obj.text_params.display_text;
  w.value(text ? text : "", text ? std::strlen(text) : 0);
  number(w, m[object::height], obj.rect_params.height);
  number(w, m[object::left], obj.rect_params.left);
  w.key(m[object::obj_label]);
  label(w, obj.obj_label);
  number(w, m[object::top], obj.rect_params.top);
  if (obj.tracker_confidence != 0.0f)
    tracker_entry(w, obj);
  number(w, m[object::width], obj.rect_params.width);
  w.end_object();
}

void frame_entry(TextWriter &w, const NvDsFrameMeta &frame, std::int64_t now) {
  RecordMembers records;
  zarn::for_each_frame_record(frame, [&records](NvDsMetaType type, gpointer record) {
    if (type == NVDS_META_ID_TYPE)
      records.add(*static_cast<const NvDsMetaId *>(record));
    else
      records.add(*static_cast<const NvDims *>(record));
    return true;
  });
  w.begin_object();
  w.key(frame::members[frame::frame_num]);
  w.value(static_cast<std::int64_t>(frame.frame_num));
  records.write_id(w);
  w.key(frame::members[frame::objects]);
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

void write_batch_document(GstBuffer *buffer, std::int64_t now, Text &out) {
  write_frames(out, [buffer, now](TextWriter &w) {
    if (const NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer)) {
      for (GList *f = batch->frame_meta_list; f; f = f->next)
        frame_entry(w, *static_cast<const NvDsFrameMeta *>(f->data), now);
    }
  });
}

} // namespace mux
} // namespace zarn
