// Shared by the demux's reader and restorers: the debug category, the
// parsed document's entries with their members, numeric conversions and the
// batch rebuild.
#ifndef ZARN_DEMUX_RESTORE_H
#define ZARN_DEMUX_RESTORE_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <gst/gst.h>
#include <simdjson.h>

#include "zarndocument.h"
#include "zarnmeta.h"

GST_DEBUG_CATEGORY_EXTERN(gst_zarnnvmetademux_debug);

namespace zarn {
namespace demux {

using simdjson::dom::element;

// Creates the debug category when the restorers run before the plug-in was
// initialised (a caller of the exported functions).
void ensure_debug_category();

// The members of one object of the document, found in one walk over it and
// indexed by the entry's member table. A name that comes twice keeps its
// last value, as a JSON object holds only one value per name.
template <std::size_t N> struct Members {
  element value[N];
  unsigned present = 0;

  const element *get(int index) const { return present >> index & 1u ? &value[index] : nullptr; }
};

// False, with nothing found, when `entry` is not an object.
template <std::size_t N>
bool collect(const element &entry, const doc::Member (&table)[N], Members<N> *out) {
  static_assert(N <= 32, "one bit per member");
  simdjson::dom::object object;
  if (entry.get(object) != simdjson::SUCCESS)
    return false;
  // The writer puts members in table order: try the next one first.
  std::size_t next = 0;
  for (simdjson::dom::key_value_pair field : object) {
    const std::size_t length = field.key.size();
    int index;
    if (next < N && table[next].name_length == length &&
        std::memcmp(table[next].name, field.key.data(), length) == 0)
      index = static_cast<int>(next);
    else
      index = doc::find_member(table, field.key.data(), length);
    if (index < 0)
      continue;
    out->value[index] = field.value;
    out->present |= 1u << index;
    next = static_cast<std::size_t>(index) + 1;
  }
  return true;
}

// A frame entry of "frames": its members when it is an object, and the
// records restored from it, which a rebuilt frame carries too.
struct FrameEntry {
  Members<doc::frame::count> members;
  bool is_object = false;
  bool is_null = false;
  bool has_id = false;
  NvDsMetaId id = {};
  NvDims dims = {};
};

// Document numbers of any kind (signed, unsigned, float) as the record
// fields hold them. False, leaving *out as it is, for anything that is not a
// number (null included).
bool to_int64(GstObject *log, const element &value, std::int64_t *out);
// The low 32 bits, read as signed.
bool to_int32(GstObject *log, const element &value, std::int32_t *out);
bool to_float(GstObject *log, const element &value, float *out);

// Attaches the identity and dimensions records of every frame entry to the
// buffer and keeps their values in the entries.
void restore_records(GstObject *log, std::vector<FrameEntry> &frames, GstBuffer *buffer);

// Rebuilds the DeepStream batch from the frame entries of a batch document.
void restore_batch(GstObject *log, const std::vector<FrameEntry> &frames, GstBuffer *buffer);

// The document reader of one element: a parser and a padded text buffer
// that are reused from buffer to buffer, and the element that its log
// lines name (NULL for callers of the exported functions). Every restorer
// takes that log target as its first argument.
struct Reader {
  GstObject *log = nullptr;
  simdjson::dom::parser parser;
  std::unique_ptr<char[]> text;
  std::size_t capacity = 0;
  std::vector<FrameEntry> frames;
};

Reader *reader_new(GstObject *log = NULL);
void reader_free(Reader *reader);

// Room for a document of `length` bytes and the parser's padding; NULL when
// it cannot be had.
char *reader_text(Reader &reader, std::size_t length);

// Parses the `length` bytes in reader_text() and restores the records and
// the batch onto the buffer. False when the text was refused.
bool restore_document(Reader &reader, std::size_t length, GstBuffer *buffer);

} // namespace demux
} // namespace zarn

#endif
