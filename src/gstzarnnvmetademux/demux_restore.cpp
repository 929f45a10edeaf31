// deserialize_json_to_meta and the restoration of the per-frame identity and
// dimensions records.

#include <cstring>
#include <exception>
#include <string>

#include "demux_restore.h"
#include "gstzarnnvmetademux.h"
#include "zarntrailer.h"

using nlohmann::json;
namespace doc = zarn::doc;
using zarn::demux::member;
using zarn::demux::to_int32;
using zarn::demux::to_int64;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace {

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
  const json *id = member(entry, doc::kId);
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
  if (const json *ts = member(entry, doc::kTs)) {
    set_int64(*ts, doc::kReceived, &record->received);
    set_int64(*ts, doc::kCorrected, &record->corrected);
    set_int64(*ts, doc::kImgPts, &record->img_pts);
  }
  return record;
}

NvDims *dimensions_record(const json &entry) {
  NvDims *record = g_new0(NvDims, 1);
  if (const json *resolution = member(entry, doc::kResolution)) {
    set_pair(*resolution, doc::kSrc, &record->start_width, &record->start_height);
    set_pair(*resolution, doc::kMux, &record->end_width, &record->end_height);
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

void deserialize_json_to_meta(const unsigned char *document, unsigned int length,
                              GstBuffer *buffer) {
  zarn::demux::ensure_debug_category();
  try {
    const char *text = reinterpret_cast<const char *>(document);
    // The parser takes a NUL byte for the end of the input; JSON text never
    // holds one, so what follows it would go unchecked.
    if (std::memchr(text, '\0', length)) {
      GST_WARNING("metadata document holds a NUL byte: not restored");
      return;
    }
    if (!nesting_within_limit(text, length)) {
      GST_WARNING("metadata document nested deeper than %d levels: not restored", kMaxNesting);
      return;
    }
    // Strict: no comments, nothing but white space after the value.
    const json root = json::parse(text, text + length);
    const json *frames = member(root, doc::kFrames);
    if (!frames || !frames->is_array()) {
      GST_WARNING("document without a \"frames\" array: no metadata restored");
      return;
    }
    restore_records(*frames, buffer);
    zarn::demux::restore_batch(*frames, buffer);
  } catch (const std::exception &e) {
    GST_WARNING("metadata document not restored: %s", e.what());
  }
}
