// The document reader: one validating parse of the document, then one walk
// over it that restores the per-frame identity and dimensions records and
// the batch. deserialize_json_to_meta is its exported entry point.

#include <cstring>
#include <exception>
#include <new>

#include "demux_restore.h"
#include "gstzarnnvmetademux.h"

using simdjson::dom::array;
using zarn::demux::collect;
using zarn::demux::element;
using zarn::demux::FrameEntry;
using zarn::demux::Members;
using zarn::demux::to_int32;
using zarn::demux::to_int64;
namespace frame = zarn::doc::frame;
namespace ts = zarn::doc::ts;
namespace resolution = zarn::doc::resolution;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace {

// Documents the mux writes nest six levels deep. Anything deeper than this
// is refused by the parser, so nothing recurses over hostile nesting.
constexpr std::size_t kMaxNesting = 64;
// A reader keeps its buffers for documents up to this size; a larger one
// gets buffers of its own that go away with it.
constexpr std::size_t kKeptCapacity = 1 << 20;
constexpr std::size_t kInitialCapacity = 64 << 10;

const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

// A "src" or "mux" pair: each element that is there and a number sets its
// field, as a 32-bit value.
void set_pair(GstObject *log, const Members<resolution::count> &m, int index, int64_t *width,
              int64_t *height) {
  const element *pair = m.get(index);
  if (!pair)
    return;
  const char *name = resolution::members[index].name;
  array elements;
  if (pair->get_array().get(elements) != simdjson::SUCCESS) {
    GST_WARNING_OBJECT(log, "member \"%s\" is not an array, ignored", name);
    return;
  }
  int64_t *fields[2] = {width, height};
  std::size_t i = 0;
  for (element value : elements) {
    if (i == 2)
      break;
    int32_t v;
    if (to_int32(log, value, &v))
      *fields[i] = v;
    else
      GST_WARNING_OBJECT(log, "member \"%s\" has no number at index %zu", name, i);
    i++;
  }
  for (; i < 2; i++)
    GST_WARNING_OBJECT(log, "member \"%s\" has no number at index %zu", name, i);
}

NvDsMetaId *identity_record(GstObject *log, const Members<frame::count> &entry) {
  const element *id = entry.get(frame::id);
  int64_t value = 0;
  // Batches whose frames carried no identity record are common: a missing
  // "id" is no warning, one of the wrong type is.
  if (!id) {
    GST_DEBUG_OBJECT(log, "frame entry without \"id\": no identity record");
    return NULL;
  }
  if (!to_int64(log, *id, &value)) {
    GST_WARNING_OBJECT(log, "frame entry \"id\" is not a number: no identity record");
    return NULL;
  }
  NvDsMetaId *record = g_new0(NvDsMetaId, 1);
  record->id = value;
  Members<ts::count> times;
  if (const element *value_ts = entry.get(frame::ts)) {
    if (collect(*value_ts, ts::members, &times)) {
      const int members[] = {ts::received, ts::corrected, ts::img_pts};
      int64_t *fields[] = {&record->received, &record->corrected, &record->img_pts};
      for (int i = 0; i < 3; i++) {
        const element *v = times.get(members[i]);
        if (v && !to_int64(log, *v, fields[i]))
          GST_WARNING_OBJECT(log, "member \"%s\" is not a number, left at %" G_GINT64_FORMAT,
                             ts::members[members[i]].name, *fields[i]);
      }
    }
  }
  return record;
}

NvDims *dimensions_record(GstObject *log, const Members<frame::count> &entry) {
  NvDims *record = g_new0(NvDims, 1);
  Members<resolution::count> m;
  if (const element *value = entry.get(frame::resolution)) {
    if (collect(*value, resolution::members, &m)) {
      set_pair(log, m, resolution::src, &record->start_width, &record->start_height);
      set_pair(log, m, resolution::mux, &record->end_width, &record->end_height);
    }
  }
  return record;
}

// Only refused documents are searched for a NUL byte, to say why.
void warn_refused(GstObject *log, simdjson::error_code error, const char *text,
                  std::size_t length) {
  if (std::memchr(text, '\0', length))
    GST_WARNING_OBJECT(log, "metadata document holds a NUL byte: not restored");
  else if (error == simdjson::DEPTH_ERROR)
    GST_WARNING_OBJECT(log, "metadata document nested deeper than %zu levels: not restored",
                       kMaxNesting);
  else
    GST_WARNING_OBJECT(log, "metadata document not restored: %s", simdjson::error_message(error));
}

bool parse_and_restore(GstObject *log, simdjson::dom::parser &parser, const char *text,
                       std::size_t length, std::vector<FrameEntry> &entries, GstBuffer *buffer) {
  // JSON text may start with a UTF-8 byte order mark; the parser does not
  // take one.
  if (length >= sizeof kByteOrderMark && std::memcmp(text, kByteOrderMark, 3) == 0) {
    text += sizeof kByteOrderMark;
    length -= sizeof kByteOrderMark;
  }
  element root;
  const simdjson::error_code error = parser.parse(text, length, false).get(root);
  if (error != simdjson::SUCCESS) {
    warn_refused(log, error, text, length);
    return false;
  }
  Members<zarn::doc::root::count> members;
  array frames;
  const element *value = collect(root, zarn::doc::root::members, &members)
                             ? members.get(zarn::doc::root::frames)
                             : nullptr;
  if (!value || value->get_array().get(frames) != simdjson::SUCCESS) {
    GST_WARNING_OBJECT(log, "document without a \"frames\" array: no metadata restored");
    return true;
  }
  entries.clear();
  for (element entry : frames) {
    entries.emplace_back();
    FrameEntry &f = entries.back();
    f.is_object = collect(entry, frame::members, &f.members);
    f.is_null = entry.is_null();
  }
  zarn::demux::restore_records(log, entries, buffer);
  zarn::demux::restore_batch(log, entries, buffer);
  return true;
}

bool init_parser(simdjson::dom::parser &parser, std::size_t capacity) {
  return parser.allocate(capacity, kMaxNesting) == simdjson::SUCCESS;
}

} // namespace

namespace zarn {
namespace demux {

Reader *reader_new(GstObject *log) {
  Reader *reader = new (std::nothrow) Reader;
  if (reader)
    reader->log = log;
  if (reader && !init_parser(reader->parser, kInitialCapacity)) {
    delete reader;
    return NULL;
  }
  return reader;
}

void reader_free(Reader *reader) { delete reader; }

char *reader_text(Reader &reader, std::size_t length) {
  const std::size_t needed = length + simdjson::SIMDJSON_PADDING;
  if (needed > reader.capacity) {
    reader.text.reset(new (std::nothrow) char[needed]);
    reader.capacity = reader.text ? needed : 0;
    if (!reader.text)
      return NULL;
  }
  // The parser may read the padding; it reads zeros.
  std::memset(reader.text.get() + length, 0, simdjson::SIMDJSON_PADDING);
  return reader.text.get();
}

void restore_records(GstObject *log, std::vector<FrameEntry> &frames, GstBuffer *buffer) {
  // Identity record, then dimensions record, for each object entry in
  // order. A record the buffer refuses stays with us and is freed.
  for (FrameEntry &entry : frames) {
    if (!entry.is_object) {
      if (!entry.is_null)
        GST_WARNING_OBJECT(log, "frame entry is not an object, skipped");
      continue;
    }
    if (NvDsMetaId *id = identity_record(log, entry.members)) {
      entry.has_id = true;
      entry.id = *id;
      if (!gst_buffer_add_nvds_id_meta(buffer, id))
        g_free(id);
    }
    NvDims *dims = dimensions_record(log, entry.members);
    entry.dims = *dims;
    if (!gst_buffer_add_dims_meta(buffer, dims))
      g_free(dims);
  }
}

bool restore_document(Reader &reader, std::size_t length, GstBuffer *buffer) {
  GstObject *const log = reader.log;
  if (length + simdjson::SIMDJSON_PADDING <= kKeptCapacity)
    return parse_and_restore(log, reader.parser, reader.text.get(), length, reader.frames, buffer);
  // The parser keeps what it allocates: a rare large document gets a parser
  // of its own, and its text buffer goes with it, so that it leaves nothing
  // of its size behind in the element.
  simdjson::dom::parser large;
  bool parsed = false;
  if (init_parser(large, length)) {
    std::vector<FrameEntry> entries;
    parsed = parse_and_restore(log, large, reader.text.get(), length, entries, buffer);
  } else {
    GST_WARNING_OBJECT(log, "no memory for a metadata document of %zu bytes: not restored", length);
  }
  reader.text.reset();
  reader.capacity = 0;
  return parsed;
}

} // namespace demux
} // namespace zarn

void deserialize_json_to_meta(const unsigned char *document, unsigned int length,
                              GstBuffer *buffer) {
  zarn::demux::ensure_debug_category();
  GstObject *const log = NULL;
  // Callers outside the element get a reader of their thread's own.
  static thread_local std::unique_ptr<zarn::demux::Reader> reader(zarn::demux::reader_new());
  try {
    char *text = reader ? zarn::demux::reader_text(*reader, length) : NULL;
    if (!text) {
      GST_WARNING_OBJECT(log, "no memory for a metadata document of %u bytes: not restored",
                         length);
      return;
    }
    std::memcpy(text, document, length);
    zarn::demux::restore_document(*reader, length, buffer);
  } catch (const std::exception &e) {
    GST_WARNING_OBJECT(log, "metadata document not restored: %s", e.what());
  }
}
