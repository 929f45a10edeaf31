// Writes the metadata document's text directly, byte for byte as the JSON
// library's compact dump would (members in name order, the library's float
// digits), without building a JSON value first: the mux does this for every
// buffer.
#ifndef ZARN_MUX_WRITER_H
#define ZARN_MUX_WRITER_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "zarndocument.h"
#include "zarnmeta.h"

namespace zarn {
namespace mux {

// Document text: storage that is kept and reused from document to document
// and never filled before it is written.
struct Text {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;
};

// Members go in the order of their entry's table; the writer only keeps
// track of whether the next token is the first of its object or array. It
// appends to the text's storage directly and sets its size when it goes
// away.
class TextWriter {
public:
  explicit TextWriter(Text &out) : out_(out), p_(out.data.get() + out.size), end_(out.data.get() + out.capacity) {}
  ~TextWriter() { out_.size = static_cast<std::size_t>(p_ - out_.data.get()); }
  TextWriter(const TextWriter &) = delete;
  TextWriter &operator=(const TextWriter &) = delete;

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  void key(const doc::Member &member) {
    put(member.key + first_, member.key_length - first_);
    first_ = true; // the value follows the colon directly
  }
  void value(double number);
  void value(std::int64_t number);
  void value_unsigned(std::uint64_t number);
  void value(const char *text, std::size_t length);
  void null();

private:
  void reserve(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n)
      grow(n);
  }
  void grow(std::size_t n);
  void put(char c) {
    reserve(1);
    *p_++ = c;
  }
  void put(const char *text, std::size_t n) {
    reserve(n);
    std::memcpy(p_, text, n);
    p_ += n;
  }
  void separate() {
    if (!first_)
      put(',');
    first_ = false;
  }
  void open(char bracket) {
    separate();
    put(bracket);
    first_ = true;
  }
  void close(char bracket) {
    put(bracket);
    first_ = false;
  }
  void digits(std::uint64_t number);

  Text &out_;
  char *p_;
  char *end_;
  bool first_ = true;
};

// The members of a frame entry that come from identity and dimensions
// records. A later identity record replaces "id", and "ts" as a whole when
// it sets any timestamp; a later dimensions record replaces "resolution"
// when it has a complete pair.
class RecordMembers {
public:
  void add(const NvDsMetaId &id);
  void add(const NvDims &dims);
  bool empty() const { return !id_ && !dims_; }

  void write_id(TextWriter &w) const;
  void write_resolution(TextWriter &w) const;
  // "pipeline_time" is now minus "received".
  void write_ts(TextWriter &w, std::int64_t now) const;

private:
  const NvDsMetaId *id_ = nullptr;
  const NvDsMetaId *ts_ = nullptr;
  const NvDims *dims_ = nullptr;
};

// The document's envelope, {"frames":[...]}, around the entries that
// `entries` writes with the TextWriter it is given.
template <typename Entries> void write_frames(Text &out, Entries entries) {
  TextWriter w(out);
  w.begin_object();
  w.key(doc::root::members[doc::root::frames]);
  w.begin_array();
  entries(w);
  w.end_array();
  w.end_object();
}

} // namespace mux
} // namespace zarn

#endif
