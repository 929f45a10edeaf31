// The metadata trailer and document format shared by the mux and the demux.
//
// A muxed buffer is: payload (N bytes) | document (L bytes of compact UTF-8
// JSON, no NUL) | L as an unsigned 32-bit little-endian integer. There is no
// magic number: a reader finds the document only through the last four bytes.
#ifndef ZARNTRAILER_H
#define ZARNTRAILER_H

#include <cstddef>
#include <cstdint>

namespace zarn {

constexpr std::size_t kTrailerLengthSize = 4;

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

// Where the document of a buffer of `size` bytes lies. False when the buffer
// cannot hold a trailer at all or its length runs past the start of the
// buffer: such bytes never came from a mux and must be left alone.
inline bool locate_document(const std::uint8_t *data, std::size_t size, std::uint32_t *length,
                            std::size_t *offset) {
  if (size < kTrailerLengthSize)
    return false;
  const std::uint32_t l = read_trailer_length(data + size - kTrailerLengthSize);
  // Compared in size_t: no 32-bit overflow for L close to 2^32.
  if (static_cast<std::size_t>(l) > size - kTrailerLengthSize)
    return false;
  *length = l;
  *offset = size - kTrailerLengthSize - l;
  return true;
}

// Member names of the metadata document.
namespace doc {
constexpr const char *kFrames = "frames";
constexpr const char *kFrameNum = "frame_num";
constexpr const char *kObjects = "objects";
constexpr const char *kId = "id";
constexpr const char *kTs = "ts";
constexpr const char *kResolution = "resolution";

constexpr const char *kReceived = "received";
constexpr const char *kPipelineTime = "pipeline_time";
constexpr const char *kCorrected = "corrected";
constexpr const char *kImgPts = "img_pts";

constexpr const char *kSrc = "src";
constexpr const char *kMux = "mux";

constexpr const char *kLeft = "left";
constexpr const char *kTop = "top";
constexpr const char *kWidth = "width";
constexpr const char *kHeight = "height";
constexpr const char *kConfidence = "confidence";
constexpr const char *kObjLabel = "obj_label";
constexpr const char *kDisplayText = "display_text";
constexpr const char *kTracker = "tracker";
constexpr const char *kClasses = "classes";
constexpr const char *kClassId = "class_id";

constexpr const char *kTrackerConfidence = "tracker_confidence";
constexpr const char *kObjectId = "object_id";

constexpr const char *kResultLabel = "result_label";
constexpr const char *kResultProb = "result_prob";
constexpr const char *kClassifierId = "classifier_id";
} // namespace doc

} // namespace zarn

#endif // ZARNTRAILER_H
