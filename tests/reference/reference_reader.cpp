// The demux's first reader, kept as the reference for the one the element
// uses: nlohmann's strict DOM parser, a NUL and nesting check before it, and
// restorers that look members up in the parsed value. Differential tests
// and a fuzz target feed the same bytes to both.

#include "reference_reader.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "gstnvdsmeta.h"
#include "nvdsmeta.h"
#include "zarndocument.h"
#include "zarnmeta.h"
#include "zarnmeta_frame.h"

GST_DEBUG_CATEGORY_EXTERN(gst_zarnnvmetademux_debug);
#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

using nlohmann::json;

namespace {


const json *member(const json &object, const char *name) {
  if (!object.is_object())
    return NULL;
  auto found = object.find(name);
  return found == object.end() ? NULL : &*found;
}

bool to_int64(const json &value, std::int64_t *out) {
  switch (value.type()) {
  case json::value_t::number_integer:
    *out = value.get<std::int64_t>();
    return true;
  case json::value_t::number_unsigned:
    // Above 2^63 - 1: the low 64 bits, read as signed.
    *out = static_cast<std::int64_t>(value.get<std::uint64_t>());
    return true;
  case json::value_t::number_float: {
    // Fractions are cut toward zero; values outside the field's range
    // saturate rather than invoke an undefined conversion.
    const double d = std::trunc(value.get<double>());
    if (std::isnan(d))
      return false;
    if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
      *out = d > 0 ? std::numeric_limits<std::int64_t>::max()
                   : std::numeric_limits<std::int64_t>::min();
      GST_WARNING("number %g does not fit 64 bits: saturated", d);
    } else {
      *out = static_cast<std::int64_t>(d);
    }
    return true;
  }
  default:
    return false;
  }
}

bool to_int32(const json &value, std::int32_t *out) {
  std::int64_t wide;
  if (!to_int64(value, &wide))
    return false;
  *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
  if (*out != wide)
    GST_WARNING("number %" G_GINT64_FORMAT " does not fit 32 bits: low 32 bits kept (%d)", wide,
                *out);
  return true;
}

bool to_float(const json &value, float *out) {
  if (!value.is_number())
    return false;
  const double d = value.get<double>();
  // Beyond float's range the value saturates, as integers do: an infinity
  // would be written back as null and lost on the next trip.
  if (d > std::numeric_limits<float>::max() || d < std::numeric_limits<float>::lowest()) {
    *out = d > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
    GST_WARNING("number %g does not fit a float: saturated", d);
  } else {
    *out = static_cast<float>(d);
  }
  return true;
}


} // namespace

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

// At most MAX_LABEL_SIZE - 1 bytes and a NUL, cut to whole characters by
// the format's own rule (the first reader split them).
void copy_label(const std::string &text, gchar (&label)[MAX_LABEL_SIZE]) {
  const std::size_t n = zarn::doc::label_length(text.data(), text.size());
  if (n < text.size())
    GST_WARNING("label of %" G_GSIZE_FORMAT " bytes cut to %" G_GSIZE_FORMAT, text.size(), n);
  std::memcpy(label, text.data(), n);
  label[n] = '\0';
}

void restore_tracker(const json &tracker, NvDsObjectMeta *obj) {
  NvBbox_Coords &box = obj->tracker_bbox_info.org_bbox_coords;
  set_float(tracker, "height", &box.height, true);
  set_float(tracker, "width", &box.width, true);
  set_float(tracker, "left", &box.left, true);
  set_float(tracker, "top", &box.top, true);
  set_float(tracker, "tracker_confidence", &obj->tracker_confidence, true);
  // The writer writes the whole unsigned 64-bit id; it is read back whole.
  const json *id = member(tracker, "object_id");
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
    const json *id_member = member(entry, "classifier_id");
    const bool has_id = id_member && to_int32(*id_member, &id);
    if (!classifier || (has_id && id != classifier->unique_component_id)) {
      if (classifier)
        nvds_add_classifier_meta_to_object(obj, classifier);
      classifier = nvds_acquire_classifier_meta_from_pool(batch);
      if (has_id)
        classifier->unique_component_id = id;
    }
    NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
    if (const std::string *text = required_string(entry, "result_label"))
      copy_label(*text, label->result_label);
    set_float(entry, "result_prob", &label->result_prob, true);
    nvds_add_label_info_meta_to_classifier(classifier, label);
  }
  if (!classifier)
    classifier = nvds_acquire_classifier_meta_from_pool(batch);
  nvds_add_classifier_meta_to_object(obj, classifier);
}

void restore_object(NvDsBatchMeta *batch, const json &entry, NvDsFrameMeta *frame) {
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  const json *classes = member(entry, "classes");
  if (classes && classes->is_array())
    restore_classes(batch, *classes, obj);
  const json *tracker = member(entry, "tracker");
  if (tracker && tracker->is_object())
    restore_tracker(*tracker, obj);

  set_float(entry, "left", &obj->rect_params.left);
  set_float(entry, "top", &obj->rect_params.top);
  set_float(entry, "height", &obj->rect_params.height);
  set_float(entry, "width", &obj->rect_params.width);
  set_float(entry, "confidence", &obj->confidence);
  set_int32(entry, "class_id", &obj->class_id);
  if (const std::string *label = required_string(entry, "obj_label"))
    copy_label(*label, obj->obj_label);
  const std::string *text = required_string(entry, "display_text");
  g_free(obj->text_params.display_text);
  obj->text_params.display_text = g_strdup(text ? text->c_str() : "");

  nvds_add_obj_meta_to_frame(frame, obj, NULL);
}

NvDsMetaId *identity_record(const json &entry);
NvDims *dimensions_record(const json &entry);

void restore_frame(NvDsBatchMeta *batch, const json &entry) {
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
  if (entry.is_object()) {
    // The frame carries the entry's records too, so that a relay loses
    // nothing (added with the same change to the element's reader).
    if (NvDsMetaId *id = identity_record(entry)) {
      if (!zarn::add_frame_id_meta(batch, frame, id))
        g_free(id);
    }
    NvDims *dims = dimensions_record(entry);
    if (!zarn::add_frame_dims_meta(batch, frame, dims))
      g_free(dims);
    set_int32(entry, "frame_num", &frame->frame_num);
    const json *objects = member(entry, "objects");
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
    const json *objects = member(entry, "objects");
    if (objects && objects->is_array())
      return true;
  }
  return false;
}



void restore_batch(const json &frames, GstBuffer *buffer) {
  if (!is_batch_document(frames))
    return;

  // Sized as the document, as the demux sizes its batch since the
  // SDK's downstream elements trust max_frames_in_batch.
  const guint frame_count = static_cast<guint>(frames.size());
  NvDsBatchMeta *batch = nvds_create_batch_meta(frame_count);
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
  batch->max_frames_in_batch = frame_count;

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



// Documents the mux writes nest six levels deep. Anything far deeper is
// refused before parsing, so that no JSON library version recurses over
// hostile nesting when it builds or frees the value.
constexpr int kMaxNesting = 64;

bool nesting_within_limit(const char *text, std::size_t length) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < length; i++) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\')
        i++;
      else if (c == '"')
        in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting)
        return false;
    } else if (c == ']' || c == '}') {
      depth--;
    }
  }
  return true;
}

void set_int64(const json &object, const char *name, int64_t *field) {
  const json *value = member(object, name);
  if (value && !to_int64(*value, field))
    GST_WARNING("member \"%s\" is not a number, left at %" G_GINT64_FORMAT, name, *field);
}

// A "src" or "mux" pair: each element that is there and a number sets its
// field, as a 32-bit value.
void set_pair(const json &resolution, const char *name, int64_t *width, int64_t *height) {
  const json *pair = member(resolution, name);
  if (!pair)
    return;
  if (!pair->is_array()) {
    GST_WARNING("member \"%s\" is not an array, ignored", name);
    return;
  }
  int64_t *fields[2] = {width, height};
  for (std::size_t i = 0; i < 2; i++) {
    int32_t value;
    if (i < pair->size() && to_int32((*pair)[i], &value))
      *fields[i] = value;
    else
      GST_WARNING("member \"%s\" has no number at index %zu", name, i);
  }
}

NvDsMetaId *identity_record(const json &entry) {
  const json *id = member(entry, "id");
  int64_t value = 0;
  // Batches whose frames carried no identity record are common: a missing
  // "id" is no warning, one of the wrong type is.
  if (!id) {
    GST_DEBUG("frame entry without \"id\": no identity record");
    return NULL;
  }
  if (!to_int64(*id, &value)) {
    GST_WARNING("frame entry \"id\" is not a number: no identity record");
    return NULL;
  }
  NvDsMetaId *record = g_new0(NvDsMetaId, 1);
  record->id = value;
  if (const json *ts = member(entry, "ts")) {
    set_int64(*ts, "received", &record->received);
    set_int64(*ts, "corrected", &record->corrected);
    set_int64(*ts, "img_pts", &record->img_pts);
  }
  return record;
}

NvDims *dimensions_record(const json &entry) {
  NvDims *record = g_new0(NvDims, 1);
  if (const json *resolution = member(entry, "resolution")) {
    set_pair(*resolution, "src", &record->start_width, &record->start_height);
    set_pair(*resolution, "mux", &record->end_width, &record->end_height);
  }
  return record;
}

// Identity record, then dimensions record, for each object entry in order.
// A record the buffer refuses stays with us and is freed.
void restore_records(const json &frames, GstBuffer *buffer) {
  for (const json &entry : frames) {
    if (!entry.is_object()) {
      if (!entry.is_null())
        GST_WARNING("frame entry is not an object, skipped");
      continue;
    }
    if (NvDsMetaId *id = identity_record(entry)) {
      if (!gst_buffer_add_nvds_id_meta(buffer, id))
        g_free(id);
    }
    NvDims *dims = dimensions_record(entry);
    if (!gst_buffer_add_dims_meta(buffer, dims))
      g_free(dims);
  }
}

} // namespace

namespace zarn_reference {

bool deserialize(const unsigned char *document, unsigned int length, GstBuffer *buffer) {
  try {
    const char *text = reinterpret_cast<const char *>(document);
    if (std::memchr(text, '\0', length)) {
      GST_WARNING("metadata document holds a NUL byte: not restored");
      return false;
    }
    if (!nesting_within_limit(text, length)) {
      GST_WARNING("metadata document nested deeper than %d levels: not restored", kMaxNesting);
      return false;
    }
    const json root = json::parse(text, text + length);
    const json *frames = member(root, "frames");
    if (!frames || !frames->is_array()) {
      GST_WARNING("document without a \"frames\" array: no metadata restored");
      return true;
    }
    restore_records(*frames, buffer);
    restore_batch(*frames, buffer);
    return true;
  } catch (const std::exception &e) {
    GST_WARNING("metadata document not restored: %s", e.what());
    return false;
  }
}

} // namespace zarn_reference
