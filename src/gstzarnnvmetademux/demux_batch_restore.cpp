// Rebuilding the DeepStream batch from a batch document: frames, objects,
// tracker data and classifier labels.

#include <algorithm>
#include <cstring>
#include <string_view>

#include "demux_restore.h"
#include "gstnvdsmeta.h"
#include "nvdsmeta.h"
#include "zarnmeta_frame.h"

using simdjson::dom::array;
using zarn::demux::collect;
using zarn::demux::element;
using zarn::demux::FrameEntry;
using zarn::demux::Members;
using zarn::demux::to_float;
using zarn::demux::to_int32;
using zarn::demux::to_int64;
namespace doc = zarn::doc;
namespace object = zarn::doc::object;
namespace tracker = zarn::doc::tracker;
namespace classification = zarn::doc::classification;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace {

template <std::size_t N> const char *name_of(const doc::Member (&table)[N], int index) {
  return table[index].name;
}

// A member that is missing, null or of the wrong type leaves the field as
// the pool made it; a required one says so.
template <std::size_t N>
void set_float(GstObject *log, const Members<N> &m, const doc::Member (&table)[N], int index,
               float *field, bool required = false) {
  const element *value = m.get(index);
  if (value ? !to_float(log, *value, field) : required)
    GST_WARNING_OBJECT(log, "object member \"%s\" missing or not a number, default kept",
                       name_of(table, index));
}

template <std::size_t N>
void set_int32(GstObject *log, const Members<N> &m, const doc::Member (&table)[N], int index,
               gint *field) {
  const element *value = m.get(index);
  std::int32_t v;
  if (value && to_int32(log, *value, &v))
    *field = v;
  else if (value)
    GST_WARNING_OBJECT(log, "member \"%s\" is not a number, default kept", name_of(table, index));
}

template <std::size_t N>
bool required_string(GstObject *log, const Members<N> &m, const doc::Member (&table)[N], int index,
                     std::string_view *text) {
  const element *value = m.get(index);
  if (value && value->get_string().get(*text) == simdjson::SUCCESS)
    return true;
  GST_WARNING_OBJECT(log, "member \"%s\" missing or not a string, default kept",
                     name_of(table, index));
  return false;
}

// The SDK's text fields are C strings: a U+0000 inside a text ends it.
std::string_view as_c_string(GstObject *log, std::string_view text, const char *what) {
  const std::size_t nul = strnlen(text.data(), text.size());
  if (nul < text.size())
    GST_WARNING_OBJECT(log, "%s holds U+0000: cut there, after %" G_GSIZE_FORMAT " bytes", what,
                       nul);
  return text.substr(0, nul);
}

// At most kLabelBytes bytes, whole characters, and a NUL.
void copy_label(GstObject *log, std::string_view text, gchar (&label)[MAX_LABEL_SIZE]) {
  static_assert(doc::kLabelBytes < MAX_LABEL_SIZE, "room for the NUL");
  text = as_c_string(log, text, "label");
  const std::size_t n = doc::label_length(text.data(), text.size());
  if (n < text.size())
    GST_WARNING_OBJECT(log, "label of %" G_GSIZE_FORMAT " bytes cut to %" G_GSIZE_FORMAT,
                       text.size(), n);
  std::memcpy(label, text.data(), n);
  label[n] = '\0';
}

void restore_tracker(GstObject *log, const element &entry, NvDsObjectMeta *obj) {
  Members<tracker::count> m;
  collect(entry, tracker::members, &m);
  NvBbox_Coords &box = obj->tracker_bbox_info.org_bbox_coords;
  set_float(log, m, tracker::members, tracker::height, &box.height, true);
  set_float(log, m, tracker::members, tracker::width, &box.width, true);
  set_float(log, m, tracker::members, tracker::left, &box.left, true);
  set_float(log, m, tracker::members, tracker::top, &box.top, true);
  set_float(log, m, tracker::members, tracker::tracker_confidence, &obj->tracker_confidence, true);
  // The writer writes the whole unsigned 64-bit id; it is read back whole.
  const element *id = m.get(tracker::object_id);
  std::int64_t value;
  if (id && to_int64(log, *id, &value))
    obj->object_id = static_cast<guint64>(value);
  else
    GST_WARNING_OBJECT(log, "tracker member \"object_id\" missing or not a number, default kept");
}

// The SDK promises no pool size: a pool may run dry. What was restored up to
// there stays; nothing more of the document is.
void pool_ran_dry(GstObject *log, const char *what) {
  GST_WARNING_OBJECT(log, "the batch's %s pool ran dry: the rest of the batch is not restored",
                     what);
}

// Class entries in document order. Consecutive entries with one
// "classifier_id" came from one classifier meta, so each run gets a
// classifier meta of its own with that id; this keeps the classifier ids
// through a round trip. "classes":[] still gets one, empty, classifier meta.
// False when a pool ran dry.
bool restore_classes(GstObject *log, NvDsBatchMeta *batch, const array &classes,
                     NvDsObjectMeta *obj) {
  NvDsClassifierMeta *classifier = NULL;
  for (element entry : classes) {
    Members<classification::count> m;
    if (!collect(entry, classification::members, &m)) {
      GST_WARNING_OBJECT(log, "class entry is not an object, skipped");
      continue;
    }
    std::int32_t id;
    const element *id_member = m.get(classification::classifier_id);
    const bool has_id = id_member && to_int32(log, *id_member, &id);
    if (!classifier || (has_id && id != classifier->unique_component_id)) {
      if (classifier)
        nvds_add_classifier_meta_to_object(obj, classifier);
      classifier = nvds_acquire_classifier_meta_from_pool(batch);
      if (!classifier) {
        pool_ran_dry(log, "classifier meta");
        return false;
      }
      if (has_id)
        classifier->unique_component_id = id;
    }
    NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
    if (!label) {
      nvds_add_classifier_meta_to_object(obj, classifier);
      pool_ran_dry(log, "label info meta");
      return false;
    }
    std::string_view text;
    if (required_string(log, m, classification::members, classification::result_label, &text))
      copy_label(log, text, label->result_label);
    set_float(log, m, classification::members, classification::result_prob, &label->result_prob,
              true);
    nvds_add_label_info_meta_to_classifier(classifier, label);
  }
  if (!classifier)
    classifier = nvds_acquire_classifier_meta_from_pool(batch);
  if (!classifier) {
    pool_ran_dry(log, "classifier meta");
    return false;
  }
  nvds_add_classifier_meta_to_object(obj, classifier);
  return true;
}

// False when a pool ran dry; the object is then on the frame with what it
// has. Its classes come last, so that only they can be missing.
bool restore_object(GstObject *log, NvDsBatchMeta *batch, const Members<object::count> &m,
                    NvDsFrameMeta *frame) {
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  if (!obj) {
    pool_ran_dry(log, "object meta");
    return false;
  }
  set_float(log, m, object::members, object::left, &obj->rect_params.left);
  set_float(log, m, object::members, object::top, &obj->rect_params.top);
  set_float(log, m, object::members, object::height, &obj->rect_params.height);
  set_float(log, m, object::members, object::width, &obj->rect_params.width);
  set_float(log, m, object::members, object::confidence, &obj->confidence);
  set_int32(log, m, object::members, object::class_id, &obj->class_id);
  std::string_view text;
  if (required_string(log, m, object::members, object::obj_label, &text))
    copy_label(log, text, obj->obj_label);
  const bool has_text = required_string(log, m, object::members, object::display_text, &text);
  if (has_text)
    text = as_c_string(log, text, "display_text");
  g_free(obj->text_params.display_text);
  obj->text_params.display_text = has_text ? g_strndup(text.data(), text.size()) : g_strdup("");
  if (const element *value = m.get(object::tracker))
    if (value->is_object())
      restore_tracker(log, *value, obj);

  bool complete = true;
  array classes;
  if (const element *value = m.get(object::classes))
    if (value->get_array().get(classes) == simdjson::SUCCESS)
      complete = restore_classes(log, batch, classes, obj);
  nvds_add_obj_meta_to_frame(frame, obj, NULL);
  return complete;
}

// The frame carries the entry's records as frame user metas, as the stream
// muxer left them on the frame the document was written from: a later mux
// then writes them again and a relay loses nothing.
void restore_frame_records(GstObject *log, NvDsBatchMeta *batch, const FrameEntry &entry,
                           NvDsFrameMeta *frame) {
  if (entry.has_id) {
    auto *id = static_cast<NvDsMetaId *>(g_memdup(&entry.id, sizeof entry.id));
    if (!zarn::add_frame_id_meta(batch, frame, id)) {
      g_free(id);
      GST_WARNING_OBJECT(log,
                         "the batch's user meta pool ran dry: a frame lacks its identity record");
    }
  }
  auto *dims = static_cast<NvDims *>(g_memdup(&entry.dims, sizeof entry.dims));
  if (!zarn::add_frame_dims_meta(batch, frame, dims)) {
    g_free(dims);
    GST_WARNING_OBJECT(log,
                       "the batch's user meta pool ran dry: a frame lacks its dimensions record");
  }
}

// False when a pool ran dry; the frame is then in the batch with what it
// has.
bool restore_frame(GstObject *log, NvDsBatchMeta *batch, const FrameEntry &frame_entry) {
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
  if (!frame) {
    pool_ran_dry(log, "frame meta");
    return false;
  }
  bool complete = true;
  if (frame_entry.is_object) {
    restore_frame_records(log, batch, frame_entry, frame);
    const auto &entry = frame_entry.members;
    set_int32(log, entry, doc::frame::members, doc::frame::frame_num, &frame->frame_num);
    array objects;
    if (const element *value = entry.get(doc::frame::objects)) {
      if (value->get_array().get(objects) == simdjson::SUCCESS) {
        for (element o : objects) {
          Members<object::count> m;
          if (!collect(o, object::members, &m))
            GST_WARNING_OBJECT(log, "object entry is not an object, skipped");
          else if (!restore_object(log, batch, m, frame)) {
            complete = false;
            break;
          }
        }
      }
    }
  }
  nvds_add_frame_meta_to_batch(batch, frame);
  return complete;
}

// Batch documents carry "objects" in every frame entry, buffer-level
// documents in none.
bool is_batch_document(const std::vector<FrameEntry> &frames) {
  for (const FrameEntry &entry : frames) {
    const element *objects = entry.members.get(doc::frame::objects);
    if (objects && objects->is_array())
      return true;
  }
  return false;
}

} // namespace

namespace zarn {
namespace demux {

void restore_batch(GstObject *log, const std::vector<FrameEntry> &frames, GstBuffer *buffer) {
  if (!is_batch_document(frames))
    return;

  // Downstream elements of the SDK trust max_frames_in_batch: the batch is
  // as large as the document's.
  const guint frame_count = static_cast<guint>(frames.size());
  NvDsBatchMeta *batch = nvds_create_batch_meta(frame_count);
  if (!batch) {
    GST_WARNING_OBJECT(log, "no batch of %u frames to be had: none restored", frame_count);
    return;
  }
  NvDsMeta *meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                            nvds_batch_meta_release_func);
  if (!meta) {
    GST_WARNING_OBJECT(log, "cannot attach a batch to the buffer: no batch restored");
    nvds_batch_meta_release_func(batch, NULL);
    return;
  }
  meta->meta_type = NVDS_BATCH_GST_META;
  batch->base_meta.batch_meta = batch;
  batch->base_meta.copy_func = nvds_batch_meta_copy_func;
  batch->base_meta.release_func = nvds_batch_meta_release_func;
  batch->max_frames_in_batch = frame_count;

  nvds_acquire_meta_lock(batch);
  // The lock is released whatever happens while the batch is filled.
  try {
    for (const FrameEntry &entry : frames)
      if (!restore_frame(log, batch, entry))
        break;
  } catch (...) {
    nvds_release_meta_lock(batch);
    throw;
  }
  nvds_release_meta_lock(batch);

  // Never attached a second time: each attached meta releases the batch.
  if (gst_buffer_get_nvds_batch_meta(buffer) != batch)
    GST_WARNING_OBJECT(log, "the restored batch is not the one the buffer reports");
}

} // namespace demux
} // namespace zarn
