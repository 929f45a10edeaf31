// Writes the metadata document's text directly, byte for byte as the JSON
// library's compact dump would (members in name order, the library's float
// digits), without building a JSON value first: the mux does this for every
// buffer.
#ifndef ZARN_MUX_WRITER_H
#define ZARN_MUX_WRITER_H

#include <cstdint>
#include <string>
#include <vector>

#include "zarnmeta.h"

namespace zarn {
namespace mux {

class TextWriter {
public:
  explicit TextWriter(std::string &out) : out_(out) {}

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Member names are the document's own: plain ASCII, nothing to escape.
  void key(const char *name);
  void value(double number);
  void value(std::int64_t number);
  void value_unsigned(std::uint64_t number);
  void value(const char *text, std::size_t length);
  void null();

private:
  void open(char bracket);
  void close(char bracket);
  void separate();
  void digits(std::uint64_t number);

  std::string &out_;
  // One entry per open object or array: whether it holds nothing yet.
  std::vector<bool> empty_;
  bool after_key_ = false;
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

} // namespace mux
} // namespace zarn

#endif
