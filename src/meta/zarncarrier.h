// The carriers of the metadata document: where in a GstBuffer it travels.
//
// Two carriers, each in a file of its own with its byte layout:
//   trailer (zarncarrier_trailer.cpp): after the payload, then its length;
//   sei     (zarncarrier_sei.cpp): an H.264/H.265 SEI message inside the
//           access unit.
// Both answer the same four questions: where the document is (locate), what
// its bytes are (read), how to take it out again (remove) and how to put
// one in (attach). Nothing here copies the payload: buffers share their
// memory blocks.
#ifndef ZARNCARRIER_H
#define ZARNCARRIER_H

#include <cstddef>
#include <cstdint>

#include <gst/gst.h>

namespace zarn {
namespace carrier {

// What a buffer holds for a carrier.
enum class Found {
  kNone,    // no document of ours: bytes that never passed a mux
  kOurs,    // a document, at the Location given
  kDamaged, // ours, but not readable: the buffer must go on untouched
};

// Where a document lies. [start, end) is what remove() takes out; the
// document's `length` bytes begin at `document` (escaped for the SEI).
struct Location {
  gsize start = 0;
  gsize end = 0;
  gsize document = 0;
  std::uint32_t length = 0;
};

namespace trailer {

Found locate(GstBuffer *buffer, Location *where);
// Copies the document's bytes into `dst` (room for where.length).
bool read(GstBuffer *buffer, const Location &where, char *dst);
// Cuts the (writable) buffer to its payload, dropping the blocks that held
// only trailer bytes.
void remove(GstBuffer *buffer, const Location &where);
// A new buffer: the payload's blocks, shared, then one block with the
// document and its length. `flags` says what else of the input it takes.
GstBuffer *attach(GstBuffer *buffer, const char *document, std::size_t length,
                  GstBufferCopyFlags flags);

} // namespace trailer

namespace sei {

enum class Codec { kNone, kH264, kH265 };

// An H.264 or H.265 stream as its caps describe it.
struct Stream {
  Codec codec = Codec::kNone;
  // Bytes of each NAL unit's length (avc, avc3, hvc1, hev1); 0 for a byte
  // stream with start codes.
  unsigned length_size = 0;
  bool access_units = false;
};

// What the caps say. False for anything but H.264/H.265 (Stream left with
// Codec::kNone).
bool stream_from_caps(const GstCaps *caps, Stream *out);

// The project's user_data_unregistered UUID.
extern const std::uint8_t kUuid[16];

// The SEI NAL unit of ours among those before the access unit's first
// slice. `why` (never NULL on kDamaged) tells what is wrong with it.
Found locate(GstBuffer *buffer, const Stream &stream, Location *where, const char **why);
// Copies the document's bytes, emulation prevention removed, into `dst`.
bool read(GstBuffer *buffer, const Location &where, char *dst);
// Takes the NAL unit out of the (writable) buffer, with its start code or
// length; the memory on either side is shared.
void remove(GstBuffer *buffer, const Location &where);
// A new buffer: the access unit with one SEI NAL unit carrying the document
// before its first slice; NULL when the NAL unit cannot be written (longer
// than the stream's NAL length size allows).
GstBuffer *attach(GstBuffer *buffer, const Stream &stream, const char *document,
                  std::size_t length, GstBufferCopyFlags flags);

} // namespace sei

// Cuts a writable buffer to its first `size` bytes; blocks past them are
// dropped rather than left behind empty.
void truncate(GstBuffer *buffer, gsize size);

// A new memory block of `size` bytes, mapped for writing into *map; NULL
// when it cannot be had.
GstMemory *new_block(gsize size, GstMapInfo *map);

} // namespace carrier
} // namespace zarn

#endif // ZARNCARRIER_H
