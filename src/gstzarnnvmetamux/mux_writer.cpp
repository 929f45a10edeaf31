// The document text writer.

#include "mux_writer.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

namespace zarn {
namespace mux {

void TextWriter::grow(std::size_t n) {
  const std::size_t used = static_cast<std::size_t>(p_ - out_.data.get());
  const std::size_t capacity = std::max<std::size_t>({2 * out_.capacity, used + n, 4096});
  std::unique_ptr<char[]> data(new char[capacity]);
  if (used)
    std::memcpy(data.get(), out_.data.get(), used);
  out_.data = std::move(data);
  out_.capacity = capacity;
  p_ = out_.data.get() + used;
  end_ = out_.data.get() + capacity;
}

void TextWriter::value(double number) {
  separate();
  if (!std::isfinite(number)) {
    put("null", 4);
    return;
  }
  // The JSON library's own shortest round-trip digits and format.
  reserve(64);
  p_ = nlohmann::detail::to_chars(p_, p_ + 64, number);
}

void TextWriter::digits(std::uint64_t number) {
  char text[24];
  char *p = text + sizeof text;
  do {
    *--p = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number);
  put(p, static_cast<std::size_t>(text + sizeof text - p));
}

void TextWriter::value_unsigned(std::uint64_t number) {
  separate();
  digits(number);
}

void TextWriter::value(std::int64_t number) {
  separate();
  if (number < 0) {
    put('-');
    digits(0 - static_cast<std::uint64_t>(number));
  } else {
    digits(static_cast<std::uint64_t>(number));
  }
}

void TextWriter::value(const char *text, std::size_t length) {
  separate();
  std::size_t i = 0;
  for (; i < length; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\')
      break;
  }
  if (i == length) {
    reserve(length + 2);
    *p_++ = '"';
    std::memcpy(p_, text, length);
    p_ += length;
    *p_++ = '"';
    return;
  }
  // Escapes, non-ASCII text and invalid UTF-8 (replaced by U+FFFD) exactly
  // as the JSON library writes them.
  const std::string quoted = nlohmann::json(std::string(text, length))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  put(quoted.data(), quoted.size());
}

void TextWriter::null() {
  separate();
  put("null", 4);
}

void RecordMembers::add(const NvDsMetaId &id) {
  id_ = &id;
  if (id.received != 0 || id.corrected != 0 || id.img_pts != 0)
    ts_ = &id;
}

void RecordMembers::add(const NvDims &dims) {
  if ((dims.end_width != 0 && dims.end_height != 0) ||
      (dims.start_width != 0 && dims.start_height != 0))
    dims_ = &dims;
}

void RecordMembers::write_id(TextWriter &w) const {
  if (!id_)
    return;
  w.key(doc::frame::members[doc::frame::id]);
  w.value(static_cast<std::int64_t>(id_->id));
}

static void write_pair(TextWriter &w, const doc::Member &name, std::int64_t width, std::int64_t height) {
  if (width == 0 || height == 0)
    return;
  w.key(name);
  w.begin_array();
  w.value(width);
  w.value(height);
  w.end_array();
}

void RecordMembers::write_resolution(TextWriter &w) const {
  if (!dims_)
    return;
  w.key(doc::frame::members[doc::frame::resolution]);
  w.begin_object();
  write_pair(w, doc::resolution::members[doc::resolution::mux], dims_->end_width, dims_->end_height);
  write_pair(w, doc::resolution::members[doc::resolution::src], dims_->start_width, dims_->start_height);
  w.end_object();
}

void RecordMembers::write_ts(TextWriter &w, std::int64_t now) const {
  if (!ts_)
    return;
  w.key(doc::frame::members[doc::frame::ts]);
  w.begin_object();
  if (ts_->corrected != 0) {
    w.key(doc::ts::members[doc::ts::corrected]);
    w.value(static_cast<std::int64_t>(ts_->corrected));
  }
  if (ts_->img_pts != 0) {
    w.key(doc::ts::members[doc::ts::img_pts]);
    w.value(static_cast<std::int64_t>(ts_->img_pts));
  }
  if (ts_->received != 0) {
    // Wrapping subtraction: a hostile "received" restored from a network
    // document must not overflow.
    w.key(doc::ts::members[doc::ts::pipeline_time]);
    w.value(static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                      static_cast<std::uint64_t>(ts_->received)));
    w.key(doc::ts::members[doc::ts::received]);
    w.value(static_cast<std::int64_t>(ts_->received));
  }
  w.end_object();
}

} // namespace mux
} // namespace zarn
