// The SEI carrier: the document in an H.264 or H.265 access unit, as one
// SEI NAL unit that every parser, payloader and container keeps and every
// decoder skips.
//
//   NAL header    H.264: 0x06 (nal_ref_idc 0, nal_unit_type 6, SEI)
//                 H.265: 0x4E 0x01 (nal_unit_type 39, prefix SEI; layer 0,
//                 temporal id 0)
//   0x05          payloadType 5, user_data_unregistered
//   0xFF.. n      payloadSize S = 16 + L: one 0xFF per whole 255, then S % 255
//   UUID          16 bytes, kUuid (a2a4f8dd-76e8-49db-8cbd-2714e0786fb5)
//   document      L bytes
//   0x80          rbsp_trailing_bits
//
// Everything after the NAL header is escaped as the standards require:
// wherever two zero bytes would be followed by a byte of 0x00 to 0x03, an
// emulation prevention byte 0x03 goes between them. The NAL unit has one
// message only.
//
// In a byte stream the NAL unit follows a start code 00 00 00 01; in the
// avc, avc3, hvc1 and hev1 forms, its size, big-endian, in the stream's NAL
// length size (from codec_data: avcC byte 4, hvcC byte 21, low two bits plus
// one). It goes right before the access unit's first VCL NAL unit (H.264
// types 1 to 5 and 14, 20, 21; H.265 types 0 to 31), so after any access
// unit delimiter, parameter sets and other SEI, as the order rules of both
// standards require. An access unit without one gets it at its end.

#include <algorithm>
#include <cstring>

#include "zarncarrier.h"

namespace zarn {
namespace carrier {
namespace sei {

const std::uint8_t kUuid[16] = {0xa2, 0xa4, 0xf8, 0xdd, 0x76, 0xe8, 0x49, 0xdb,
                                0x8c, 0xbd, 0x27, 0x14, 0xe0, 0x78, 0x6f, 0xb5};

namespace {

constexpr std::uint8_t kPayloadType = 5;
constexpr unsigned kStartCodeSize = 4;
constexpr gsize kNoPosition = static_cast<gsize>(-1);

unsigned header_size(Codec codec) {
  return codec == Codec::kH264 ? 1 : 2;
}

int nal_type(Codec codec, int header) {
  return codec == Codec::kH264 ? header & 0x1f : header >> 1 & 0x3f;
}

bool is_sei(Codec codec, int type) {
  return type == (codec == Codec::kH264 ? 6 : 39);
}

bool is_vcl(Codec codec, int type) {
  if (codec == Codec::kH264)
    return (type >= 1 && type <= 5) || type == 14 || type == 20 || type == 21;
  return type <= 31;
}

// The buffer's bytes, each memory block mapped on its own: a buffer of
// several blocks is read where it lies, never merged.
class Bytes {
public:
  explicit Bytes(GstBuffer *buffer) : buffer_(buffer) {
    const guint n = gst_buffer_n_memory(buffer);
    if (n > kBlocks)
      return;
    for (guint i = 0; i < n; ++i) {
      if (!gst_memory_map(gst_buffer_peek_memory(buffer, i), &maps_[i], GST_MAP_READ))
        return;
      starts_[i] = size_;
      size_ += maps_[i].size;
      mapped_ = i + 1;
    }
    ok_ = true;
  }
  ~Bytes() {
    for (guint i = 0; i < mapped_; ++i)
      gst_memory_unmap(gst_buffer_peek_memory(buffer_, i), &maps_[i]);
  }
  Bytes(const Bytes &) = delete;
  Bytes &operator=(const Bytes &) = delete;

  bool ok() const { return ok_; }
  gsize size() const { return ok_ ? size_ : 0; }

  // The byte at `offset`, or -1 past the end.
  int at(gsize offset) const {
    if (offset >= size())
      return -1;
    if (offset - starts_[block_] >= maps_[block_].size)
      seek(offset);
    return maps_[block_].data[offset - starts_[block_]];
  }

  // The bytes from `offset` to the end of its block; NULL past the end.
  const std::uint8_t *run(gsize offset, gsize *length) const {
    if (offset >= size()) {
      *length = 0;
      return NULL;
    }
    if (offset - starts_[block_] >= maps_[block_].size)
      seek(offset);
    *length = maps_[block_].size - (offset - starts_[block_]);
    return maps_[block_].data + (offset - starts_[block_]);
  }

private:
  static constexpr guint kBlocks = 16;

  void seek(gsize offset) const {
    for (block_ = 0; block_ + 1 < mapped_; ++block_)
      if (offset < starts_[block_] + maps_[block_].size)
        break;
  }

  GstBuffer *buffer_;
  GstMapInfo maps_[kBlocks];
  gsize starts_[kBlocks] = {};
  gsize size_ = 0;
  guint mapped_ = 0;
  mutable guint block_ = 0;
  bool ok_ = false;
};

// The first NAL header at or after `from` that follows a start code
// 00 00 01; kNoPosition when there is none.
gsize find_header(const Bytes &bytes, gsize from) {
  gsize offset = from;
  for (;;) {
    gsize length;
    const std::uint8_t *p = bytes.run(offset, &length);
    if (!p)
      return kNoPosition;
    const void *one = std::memchr(p, 1, length);
    if (!one) {
      offset += length;
      continue;
    }
    const gsize i = offset + static_cast<gsize>(static_cast<const std::uint8_t *>(one) - p);
    if (i >= from + 2 && bytes.at(i - 1) == 0 && bytes.at(i - 2) == 0)
      return i + 1 < bytes.size() ? i + 1 : kNoPosition;
    offset = i + 1;
  }
}

struct Nal {
  gsize start = 0;  // its start code (with one leading zero byte) or length
  gsize header = 0; // its first byte
  gsize end = 0;    // one past its last byte; for a byte stream, the buffer's end
  int type = 0;
};

// The access unit's NAL units in order. For a byte stream a NAL unit's end
// is only found by looking for the next start code, which is done when the
// walk goes past it: the first slice, where the walks stop, is never read.
class Walk {
public:
  Walk(const Bytes &bytes, const Stream &stream) : bytes_(bytes), stream_(stream) {}

  bool next(Nal *nal) {
    const gsize size = bytes_.size();
    if (stream_.length_size == 0) {
      const gsize header = find_header(bytes_, position_);
      if (header == kNoPosition)
        return false;
      nal->header = header;
      nal->start = header - 3;
      if (nal->start > position_ && bytes_.at(nal->start - 1) == 0)
        nal->start--;
      nal->end = size;
      position_ = header;
    } else {
      const unsigned n = stream_.length_size;
      if (position_ > size || size - position_ < n)
        return false;
      gsize length = 0;
      for (unsigned i = 0; i < n; ++i)
        length = length << 8 | static_cast<gsize>(bytes_.at(position_ + i));
      nal->start = position_;
      nal->header = position_ + n;
      if (length == 0 || length > size - nal->header)
        return false;
      nal->end = nal->header + length;
      position_ = nal->end;
    }
    nal->type = nal_type(stream_.codec, bytes_.at(nal->header));
    return true;
  }

  // Where the next NAL unit is looked for.
  void resume_at(gsize position) { position_ = position; }
  gsize position() const { return position_; }

private:
  const Bytes &bytes_;
  const Stream &stream_;
  gsize position_ = 0;
};

// The RBSP of a NAL unit read from its escaped bytes [position, end):
// emulation prevention bytes are dropped, and a sequence that no NAL unit
// holds (00 00 00, 00 00 01, 00 00 02: in a byte stream, the next start
// code) ends it.
class Rbsp {
public:
  Rbsp(const Bytes &bytes, gsize position, gsize end)
      : bytes_(bytes), position_(position), end_(end) {}

  // The next byte, or -1 at the end.
  int next() {
    for (;;) {
      if (position_ >= end_)
        return -1;
      const int c = bytes_.at(position_);
      if (c < 0)
        return -1;
      if (zeros_ >= 2 && c <= 3) {
        if (c != 3)
          return -1;
        ++position_;
        zeros_ = 0;
        continue;
      }
      ++position_;
      zeros_ = c == 0 ? zeros_ + 1 : 0;
      return c;
    }
  }

  // The next `n` bytes into `dst`, or only skipped when it is NULL; false
  // when the NAL unit holds fewer. Runs without a zero byte are copied
  // whole.
  bool take(std::size_t n, char *dst) {
    while (n != 0) {
      if (zeros_ == 0) {
        gsize length;
        const std::uint8_t *p = bytes_.run(position_, &length);
        if (!p || position_ >= end_)
          return false;
        length = std::min<gsize>(std::min<gsize>(length, end_ - position_), n);
        const void *zero = std::memchr(p, 0, length);
        const gsize k =
            zero ? static_cast<gsize>(static_cast<const std::uint8_t *>(zero) - p) : length;
        if (k != 0) {
          if (dst) {
            std::memcpy(dst, p, k);
            dst += k;
          }
          position_ += k;
          n -= k;
          continue;
        }
      }
      const int c = next();
      if (c < 0)
        return false;
      if (dst)
        *dst++ = static_cast<char>(c);
      --n;
    }
    return true;
  }

  // A value in the standard's 0xFF coding; -1 when it ends early.
  long ff_coded() {
    long value = 0;
    for (int c; (c = next()) >= 0;) {
      value += c;
      if (c != 0xff)
        return value;
      if (value > 0x7fffffffL)
        return -1;
    }
    return -1;
  }

  gsize position() const { return position_; }

private:
  const Bytes &bytes_;
  gsize position_;
  gsize end_;
  int zeros_ = 0;
};

// Appends `n` bytes of `src` at `dst` with emulation prevention; `zeros`
// carries the run of zero bytes from one call to the next.
std::uint8_t *escape(const std::uint8_t *src, std::size_t n, std::uint8_t *dst, int &zeros) {
  while (n != 0) {
    if (zeros == 0) {
      const void *zero = std::memchr(src, 0, n);
      const std::size_t k =
          zero ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(zero) - src) : n;
      if (k != 0) {
        std::memcpy(dst, src, k);
        src += k;
        dst += k;
        n -= k;
        continue;
      }
    }
    const std::uint8_t c = *src++;
    --n;
    if (zeros >= 2 && c <= 3) {
      *dst++ = 3;
      zeros = 0;
    }
    *dst++ = c;
    zeros = c == 0 ? zeros + 1 : 0;
  }
  return dst;
}

// Whether the SEI NAL unit is ours; if so, where its document lies.
Found read_message(const Bytes &bytes, const Stream &stream, const Nal &nal, Location *where,
                   const char **why) {
  Rbsp rbsp(bytes, nal.header + header_size(stream.codec), nal.end);
  if (rbsp.ff_coded() != kPayloadType)
    return Found::kNone;
  const long size = rbsp.ff_coded();
  char uuid[sizeof kUuid];
  if (size < 0 || !rbsp.take(sizeof uuid, uuid) ||
      std::memcmp(uuid, kUuid, sizeof kUuid) != 0)
    return Found::kNone;
  if (size < static_cast<long>(sizeof kUuid)) {
    *why = "its payload size is smaller than its UUID";
    return Found::kDamaged;
  }
  const std::size_t length = static_cast<std::size_t>(size) - sizeof kUuid;
  const gsize document = rbsp.position();
  if (!rbsp.take(length, NULL)) {
    *why = "its payload runs past the NAL unit, or its emulation prevention is broken";
    return Found::kDamaged;
  }
  if (rbsp.next() != 0x80) {
    *why = "its message is not followed by the RBSP trailing bits";
    return Found::kDamaged;
  }
  const gsize end = rbsp.position();
  if (stream.length_size != 0) {
    if (end != nal.end) {
      *why = "its NAL unit holds more than one message";
      return Found::kDamaged;
    }
  } else {
    // Only zero bytes may follow, up to the next start code or the end.
    gsize i = end;
    while (bytes.at(i) == 0)
      ++i;
    if (bytes.at(i) >= 0 && !(bytes.at(i) == 1 && i - end >= 2)) {
      *why = "its NAL unit holds more than one message";
      return Found::kDamaged;
    }
  }
  where->start = nal.start;
  where->end = end;
  where->document = document;
  where->length = static_cast<std::uint32_t>(length);
  return Found::kOurs;
}

} // namespace

bool stream_from_caps(const GstCaps *caps, Stream *out) {
  *out = Stream();
  if (!caps || gst_caps_get_size(caps) == 0)
    return false;
  const GstStructure *s = gst_caps_get_structure(caps, 0);
  Codec codec;
  if (gst_structure_has_name(s, "video/x-h264"))
    codec = Codec::kH264;
  else if (gst_structure_has_name(s, "video/x-h265"))
    codec = Codec::kH265;
  else
    return false;

  const gchar *format = gst_structure_get_string(s, "stream-format");
  unsigned length_size = 0;
  if (format && std::strcmp(format, "byte-stream") != 0) {
    const bool lengths = codec == Codec::kH264
                             ? std::strcmp(format, "avc") == 0 || std::strcmp(format, "avc3") == 0
                             : std::strcmp(format, "hvc1") == 0 || std::strcmp(format, "hev1") == 0;
    if (!lengths)
      return false;
    // lengthSizeMinusOne: avcC byte 4, hvcC byte 21. Without codec_data,
    // four bytes, which every muxer and depayloader writes.
    length_size = 4;
    const gsize at = codec == Codec::kH264 ? 4 : 21;
    const GValue *value = gst_structure_get_value(s, "codec_data");
    if (value && GST_VALUE_HOLDS_BUFFER(value)) {
      std::uint8_t byte;
      if (gst_buffer_extract(gst_value_get_buffer(value), at, &byte, 1) == 1)
        length_size = (byte & 3u) + 1;
    }
  }
  const gchar *alignment = gst_structure_get_string(s, "alignment");
  out->codec = codec;
  out->length_size = length_size;
  out->access_units = alignment && std::strcmp(alignment, "au") == 0;
  return true;
}

Found locate(GstBuffer *buffer, const Stream &stream, Location *where, const char **why) {
  if (stream.codec == Codec::kNone)
    return Found::kNone;
  const Bytes bytes(buffer);
  Walk walk(bytes, stream);
  for (Nal nal; walk.next(&nal);) {
    if (is_vcl(stream.codec, nal.type))
      return Found::kNone;
    if (!is_sei(stream.codec, nal.type))
      continue;
    const Found found = read_message(bytes, stream, nal, where, why);
    if (found != Found::kNone)
      return found;
  }
  return Found::kNone;
}

bool read(GstBuffer *buffer, const Location &where, char *dst) {
  const Bytes bytes(buffer);
  Rbsp rbsp(bytes, where.document, where.end);
  return rbsp.take(where.length, dst);
}

void remove(GstBuffer *buffer, const Location &where) {
  const gsize size = gst_buffer_get_size(buffer);
  GstBuffer *rest = NULL;
  if (where.end < size)
    rest = gst_buffer_copy_region(buffer, GST_BUFFER_COPY_MEMORY, where.end, size - where.end);
  truncate(buffer, where.start);
  if (rest) {
    gst_buffer_copy_into(buffer, rest, GST_BUFFER_COPY_MEMORY, 0, static_cast<gsize>(-1));
    gst_buffer_unref(rest);
  }
}

GstBuffer *attach(GstBuffer *buffer, const Stream &stream, const char *document,
                  std::size_t length, GstBufferCopyFlags flags) {
  if (stream.codec == Codec::kNone || length > UINT32_MAX - sizeof kUuid)
    return NULL;
  const std::size_t payload = sizeof kUuid + length;
  // payloadType, then payloadSize in the 0xFF coding.
  const std::size_t head_size = 1 + payload / 255 + 1;

  const unsigned prefix = stream.length_size ? stream.length_size : kStartCodeSize;
  const unsigned nal_header = header_size(stream.codec);
  const std::size_t rbsp = head_size + payload + 1;
  // Emulation prevention adds at most one byte for every two.
  GstMapInfo map;
  GstMemory *memory = new_block(prefix + nal_header + rbsp + rbsp / 2 + 1, &map);
  if (!memory)
    return NULL;
  std::uint8_t *nal = map.data + prefix;
  std::uint8_t *p = nal;
  if (stream.codec == Codec::kH264) {
    *p++ = 0x06;
  } else {
    *p++ = 39 << 1;
    *p++ = 0x01;
  }
  // Only the size's last byte can be zero; the escaping below knows.
  *p++ = kPayloadType;
  std::memset(p, 0xff, payload / 255);
  p += payload / 255;
  *p = static_cast<std::uint8_t>(payload % 255);
  int zeros = *p++ == 0 ? 1 : 0;
  static const std::uint8_t kTrailingBits = 0x80;
  p = escape(kUuid, sizeof kUuid, p, zeros);
  p = escape(reinterpret_cast<const std::uint8_t *>(document), length, p, zeros);
  p = escape(&kTrailingBits, 1, p, zeros);
  const std::size_t nal_size = static_cast<std::size_t>(p - nal);
  bool fits = true;
  if (stream.length_size == 0) {
    map.data[0] = map.data[1] = map.data[2] = 0;
    map.data[3] = 1;
  } else {
    fits = prefix >= sizeof(std::uint32_t) ||
           nal_size < static_cast<std::size_t>(1) << (8 * prefix);
    for (unsigned i = 0; i < prefix; ++i)
      map.data[i] = static_cast<std::uint8_t>(nal_size >> (8 * (prefix - 1 - i)));
    fits = fits && nal_size <= UINT32_MAX;
  }
  gst_memory_unmap(memory, &map);
  if (!fits) {
    gst_memory_unref(memory);
    return NULL;
  }
  gst_memory_resize(memory, 0, prefix + nal_size);

  // Right before the first slice; at the end of an access unit without one.
  gsize at;
  {
    const Bytes bytes(buffer);
    if (!bytes.ok()) {
      gst_memory_unref(memory);
      return NULL;
    }
    Walk walk(bytes, stream);
    at = kNoPosition;
    for (Nal n; at == kNoPosition && walk.next(&n);)
      if (is_vcl(stream.codec, n.type))
        at = n.start;
    if (at == kNoPosition)
      at = stream.length_size ? std::min(walk.position(), bytes.size()) : bytes.size();
  }

  // The access unit's own blocks on either side are shared, not copied.
  const gsize size = gst_buffer_get_size(buffer);
  GstBuffer *out = gst_buffer_new();
  gst_buffer_copy_into(out, buffer, flags, 0, static_cast<gsize>(-1));
  if (at != 0)
    gst_buffer_copy_into(out, buffer, GST_BUFFER_COPY_MEMORY, 0, at);
  gst_buffer_append_memory(out, memory);
  if (at < size)
    gst_buffer_copy_into(out, buffer, GST_BUFFER_COPY_MEMORY, at, size - at);
  return out;
}

} // namespace sei
} // namespace carrier
} // namespace zarn
