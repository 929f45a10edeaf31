// The metadata trailer and document format shared by the mux and the demux.
//
// A muxed buffer is: payload (N bytes) | document (L bytes of compact UTF-8
// JSON, no NUL) | L as an unsigned 32-bit little-endian integer. There is no
// magic number: a reader finds the document only through the last four bytes.
// The document's entries and members are in zarndocument.h.
#ifndef ZARNTRAILER_H
#define ZARNTRAILER_H

#include <cstddef>
#include <cstdint>

namespace zarn {

constexpr std::size_t kTrailerLengthSize = 4;

// Byte by byte rather than with GST_WRITE_UINT32_LE / GST_READ_UINT32_LE:
// the length sits at any offset, and on x86 GStreamer's macros make
// unaligned 32-bit accesses, which the undefined-behaviour sanitizer
// rejects.
inline void write_trailer_length(std::uint8_t *dst, std::uint32_t length) {
  dst[0] = static_cast<std::uint8_t>(length);
  dst[1] = static_cast<std::uint8_t>(length >> 8);
  dst[2] = static_cast<std::uint8_t>(length >> 16);
  dst[3] = static_cast<std::uint8_t>(length >> 24);
}

inline std::uint32_t read_trailer_length(const std::uint8_t *src) {
  return static_cast<std::uint32_t>(src[0]) | static_cast<std::uint32_t>(src[1]) << 8 |
         static_cast<std::uint32_t>(src[2]) << 16 | static_cast<std::uint32_t>(src[3]) << 24;
}

// Whether a length L read from the last four bytes of a buffer of `size`
// bytes leaves room for its document. False when the buffer cannot hold a
// trailer at all or L runs past its start: such bytes never came from a mux
// and must be left alone.
inline bool trailer_fits(std::size_t size, std::uint32_t length) {
  // Compared in size_t: no 32-bit overflow for L close to 2^32.
  return size >= kTrailerLengthSize &&
         static_cast<std::size_t>(length) <= size - kTrailerLengthSize;
}

// Where the document of a buffer of `size` bytes lies.
inline bool locate_document(const std::uint8_t *data, std::size_t size, std::uint32_t *length,
                            std::size_t *offset) {
  if (size < kTrailerLengthSize)
    return false;
  const std::uint32_t l = read_trailer_length(data + size - kTrailerLengthSize);
  if (!trailer_fits(size, l))
    return false;
  *length = l;
  *offset = size - kTrailerLengthSize - l;
  return true;
}

} // namespace zarn

#endif // ZARNTRAILER_H
