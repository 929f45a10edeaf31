// The document text writer.

#include "mux_writer.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "zarntrailer.h"

namespace doc = zarn::doc;

namespace zarn {
namespace mux {

void TextWriter::separate() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!empty_.empty()) {
    if (!empty_.back())
      out_ += ',';
    empty_.back() = false;
  }
}

void TextWriter::open(char bracket) {
  separate();
  out_ += bracket;
  empty_.push_back(true);
}

void TextWriter::close(char bracket) {
  out_ += bracket;
  empty_.pop_back();
}

void TextWriter::key(const char *name) {
  separate();
  out_ += '"';
  out_ += name;
  out_ += "\":";
  after_key_ = true;
}

void TextWriter::value(double number) {
  separate();
  if (!std::isfinite(number)) {
    out_ += "null";
    return;
  }
  // The JSON library's own shortest round-trip digits and format.
  char digits[64];
  const char *end = nlohmann::detail::to_chars(digits, digits + sizeof digits, number);
  out_.append(digits, static_cast<std::size_t>(end - digits));
}

void TextWriter::digits(std::uint64_t number) {
  char text[24];
  char *p = text + sizeof text;
  do {
    *--p = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number);
  out_.append(p, text + sizeof text);
}

void TextWriter::value_unsigned(std::uint64_t number) {
  separate();
  digits(number);
}

void TextWriter::value(std::int64_t number) {
  separate();
  if (number < 0) {
    out_ += '-';
    digits(0 - static_cast<std::uint64_t>(number));
  } else {
    digits(static_cast<std::uint64_t>(number));
  }
}

void TextWriter::value(const char *text, std::size_t length) {
  separate();
  bool plain = true;
  for (std::size_t i = 0; i < length && plain; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  }
  if (plain) {
    out_ += '"';
    out_.append(text, length);
    out_ += '"';
    return;
  }
  // Escapes, non-ASCII text and invalid UTF-8 (replaced by U+FFFD) exactly
  // as the JSON library writes them.
  out_ += nlohmann::json(std::string(text, length))
              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void TextWriter::null() {
  separate();
  out_ += "null";
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
  w.key(doc::kId);
  w.value(static_cast<std::int64_t>(id_->id));
}

static void write_pair(TextWriter &w, const char *name, std::int64_t width, std::int64_t height) {
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
  w.key(doc::kResolution);
  w.begin_object();
  write_pair(w, doc::kMux, dims_->end_width, dims_->end_height);
  write_pair(w, doc::kSrc, dims_->start_width, dims_->start_height);
  w.end_object();
}

void RecordMembers::write_ts(TextWriter &w, std::int64_t now) const {
  if (!ts_)
    return;
  w.key(doc::kTs);
  w.begin_object();
  if (ts_->corrected != 0) {
    w.key(doc::kCorrected);
    w.value(static_cast<std::int64_t>(ts_->corrected));
  }
  if (ts_->img_pts != 0) {
    w.key(doc::kImgPts);
    w.value(static_cast<std::int64_t>(ts_->img_pts));
  }
  if (ts_->received != 0) {
    // Wrapping subtraction: a hostile "received" restored from a network
    // document must not overflow.
    w.key(doc::kPipelineTime);
    w.value(static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                      static_cast<std::uint64_t>(ts_->received)));
    w.key(doc::kReceived);
    w.value(static_cast<std::int64_t>(ts_->received));
  }
  w.end_object();
}

} // namespace mux
} // namespace zarn
