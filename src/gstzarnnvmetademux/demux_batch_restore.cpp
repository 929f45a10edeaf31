// Rebuilding the DeepStream batch from a batch document: frames, objects,
// tracker data and classifier labels.

#include <cstring>
#include <string>

#include "demux_restore.h"
#include "gstnvdsmeta.h"
#include "nvdsmeta.h"
#include "zarntrailer.h"

using nlohmann::json;
namespace doc = zarn::doc;
using zarn::demux::member;
using zarn::demux::to_float;
using zarn::demux::to_int32;
using zarn::demux::to_int64;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace {

// A member that is missing, null or of the wrong type leaves the field as
// the pool made it; a required one says so.
void set_float(const json &object, const char *name, float *field, bool required = false) {
  const json *value = member(object, name);
  if (value ? !to_float(*value, field) : required)
    GST_WARNING("object member \"%s\" missing or not a number, default kept", name);
}

void set_int32(const json &object, const char *name, gint *field) {
  const json *value = member(object, name);
  std::int32_t v;
  if (value && to_int32(*value, &v))
    *field = v;
  else if (value)
    GST_WARNING("member \"%s\" is not a number, default kept", name);
}

const std::string *required_string(const json &object, const char *name) {
  const json *value = member(object, name);
  if (value && value->is_string())
    return &value->get_ref<const std::string &>();
  GST_WARNING("member \"%s\" missing or not a string, default kept", name);
  return NULL;
}

// At most MAX_LABEL_SIZE - 1 bytes and a NUL; the cut may split a
// multi-byte character.
void copy_label(const std::string &text, gchar (&label)[MAX_LABEL_SIZE]) {
  const std::size_t n = std::min<std::size_t>(text.size(), MAX_LABEL_SIZE - 1);
  if (n < text.size())
    GST_WARNING("label of %" G_GSIZE_FORMAT " bytes cut to %" G_GSIZE_FORMAT, text.size(), n);
  std::memcpy(label, text.data(), n);
  label[n] = '\0';
}

void restore_tracker(const json &tracker, NvDsObjectMeta *obj) {
  NvBbox_Coords &box = obj->tracker_bbox_info.org_bbox_coords;
  set_float(tracker, doc::kHeight, &box.height, true);
  set_float(tracker, doc::kWidth, &box.width, true);
  set_float(tracker, doc::kLeft, &box.left, true);
  set_float(tracker, doc::kTop, &box.top, true);
  set_float(tracker, doc::kTrackerConfidence, &obj->tracker_confidence, true);
  // The writer writes the whole unsigned 64-bit id; it is read back whole.
  const json *id = member(tracker, doc::kObjectId);
  std::int64_t value;
  if (id && to_int64(*id, &value))
    obj->object_id = static_cast<guint64>(value);
  else
    GST_WARNING("tracker member \"object_id\" missing or not a number, default kept");
}

// Class entries in document order. Consecutive entries with one
// "classifier_id" came from one classifier meta, so each run gets a
// classifier meta of its own with that id; this keeps the classifier ids
// through a round trip. "classes":[] still gets one, empty, classifier meta.
void restore_classes(NvDsBatchMeta *batch, const json &classes, NvDsObjectMeta *obj) {
  NvDsClassifierMeta *classifier = NULL;
  for (const json &entry : classes) {
    if (!entry.is_object()) {
      GST_WARNING("class entry is not an object, skipped");
      continue;
    }
    std::int32_t id;
    const json *id_member = member(entry, doc::kClassifierId);
    const bool has_id = id_member && to_int32(*id_member, &id);
    if (!classifier || (has_id && id != classifier->unique_component_id)) {
      if (classifier)
        nvds_add_classifier_meta_to_object(obj, classifier);
      classifier = nvds_acquire_classifier_meta_from_pool(batch);
      if (has_id)
        classifier->unique_component_id = id;
    }
    NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
    if (const std::string *text = required_string(entry, doc::kResultLabel))
      copy_label(*text, label->result_label);
    set_float(entry, doc::kResultProb, &label->result_prob, true);
    nvds_add_label_info_meta_to_classifier(classifier, label);
  }
  if (!classifier)
    classifier = nvds_acquire_classifier_meta_from_pool(batch);
  nvds_add_classifier_meta_to_object(obj, classifier);
}

void restore_object(NvDsBatchMeta *batch, const json &entry, NvDsFrameMeta *frame) {
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  const json *classes = member(entry, doc::kClasses);
  if (classes && classes->is_array())
    restore_classes(batch, *classes, obj);
  const json *tracker = member(entry, doc::kTracker);
  if (tracker && tracker->is_object())
    restore_tracker(*tracker, obj);

  set_float(entry, doc::kLeft, &obj->rect_params.left);
  set_float(entry, doc::kTop, &obj->rect_params.top);
  set_float(entry, doc::kHeight, &obj->rect_params.height);
  set_float(entry, doc::kWidth, &obj->rect_params.width);
  set_float(entry, doc::kConfidence, &obj->confidence);
  set_int32(entry, doc::kClassId, &obj->class_id);
  if (const std::string *label = required_string(entry, doc::kObjLabel))
    copy_label(*label, obj->obj_label);
  const std::string *text = required_string(entry, doc::kDisplayText);
  g_free(obj->text_params.display_text);
  obj->text_params.display_text = g_strdup(text ? text->c_str() : "");

  nvds_add_obj_meta_to_frame(frame, obj, NULL);
}

void restore_frame(NvDsBatchMeta *batch, const json &entry) {
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
  if (entry.is_object()) {
    set_int32(entry, doc::kFrameNum, &frame->frame_num);
    const json *objects = member(entry, doc::kObjects);
    if (objects && objects->is_array()) {
      for (const json &object : *objects) {
        if (object.is_object())
          restore_object(batch, object, frame);
        else
          GST_WARNING("object entry is not an object, skipped");
      }
    }
  }
  nvds_add_frame_meta_to_batch(batch, frame);
}

// Batch documents carry "objects" in every frame entry, buffer-level
// documents in none.
bool is_batch_document(const json &frames) {
  for (const json &entry : frames) {
    const json *objects = member(entry, doc::kObjects);
    if (objects && objects->is_array())
      return true;
  }
  return false;
}

} // namespace

namespace zarn {
namespace demux {

void restore_batch(const json &frames, GstBuffer *buffer) {
  if (!is_batch_document(frames))
    return;

  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  NvDsMeta *meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                            nvds_batch_meta_release_func);
  if (!meta) {
    GST_WARNING("cannot attach a batch to the buffer: no batch restored");
    nvds_batch_meta_release_func(batch, NULL);
    return;
  }
  meta->meta_type = NVDS_BATCH_GST_META;
  batch->base_meta.batch_meta = batch;
  batch->base_meta.copy_func = nvds_batch_meta_copy_func;
  batch->base_meta.release_func = nvds_batch_meta_release_func;
  batch->max_frames_in_batch = 1;

  nvds_acquire_meta_lock(batch);
  // The lock is released whatever happens while the batch is filled.
  try {
    for (const json &entry : frames)
      restore_frame(batch, entry);
  } catch (...) {
    nvds_release_meta_lock(batch);
    throw;
  }
  nvds_release_meta_lock(batch);

  // Never attached a second time: each attached meta releases the batch.
  if (gst_buffer_get_nvds_batch_meta(buffer) != batch)
    GST_WARNING("the restored batch is not the one the buffer reports");
}

} // namespace demux
} // namespace zarn
