// The metadata document's entries and their members, defined once for the
// writer and the reader.
//
// {"frames":[frame, ...]}
//   frame:      "frame_num", "id", "objects":[object, ...], "resolution", "ts"
//   ts:         "corrected", "img_pts", "pipeline_time", "received"
//   resolution: "mux":[w,h], "src":[w,h]
//   object:     "class_id", "classes":[class, ...], "confidence", "display_text",
//               "height", "left", "obj_label", "top", "tracker", "width"
//   tracker:    "height", "left", "object_id", "top", "tracker_confidence", "width"
//   class:      "classifier_id", "result_label", "result_prob"
//
// Each entry's members are listed in ascending byte order of their names,
// the order the writer puts them in; the enum of an entry indexes its table.
#ifndef ZARNDOCUMENT_H
#define ZARNDOCUMENT_H

#include <cstddef>
#include <cstring>

namespace zarn {
namespace doc {

struct Member {
  const char *name;
  std::size_t name_length;
  // ,"name": as the writer puts it after an earlier member; the first
  // member of an object leaves out the comma.
  const char *key;
  std::size_t key_length;
};

#define ZARN_DOC_MEMBER(n) \
  Member { n, sizeof(n) - 1, ",\"" n "\":", sizeof(",\"" n "\":") - 1 }

namespace root {
enum : int { frames, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("frames")};
} // namespace root

namespace frame {
enum : int { frame_num, id, objects, resolution, ts, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("frame_num"), ZARN_DOC_MEMBER("id"),
                              ZARN_DOC_MEMBER("objects"), ZARN_DOC_MEMBER("resolution"),
                              ZARN_DOC_MEMBER("ts")};
} // namespace frame

namespace ts {
enum : int { corrected, img_pts, pipeline_time, received, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("corrected"), ZARN_DOC_MEMBER("img_pts"),
                              ZARN_DOC_MEMBER("pipeline_time"), ZARN_DOC_MEMBER("received")};
} // namespace ts

namespace resolution {
enum : int { mux, src, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("mux"), ZARN_DOC_MEMBER("src")};
} // namespace resolution

namespace object {
enum : int {
  class_id,
  classes,
  confidence,
  display_text,
  height,
  left,
  obj_label,
  top,
  tracker,
  width,
  count
};
constexpr Member members[] = {
    ZARN_DOC_MEMBER("class_id"),  ZARN_DOC_MEMBER("classes"),   ZARN_DOC_MEMBER("confidence"),
    ZARN_DOC_MEMBER("display_text"), ZARN_DOC_MEMBER("height"), ZARN_DOC_MEMBER("left"),
    ZARN_DOC_MEMBER("obj_label"), ZARN_DOC_MEMBER("top"),       ZARN_DOC_MEMBER("tracker"),
    ZARN_DOC_MEMBER("width")};
} // namespace object

namespace tracker {
enum : int { height, left, object_id, top, tracker_confidence, width, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("height"), ZARN_DOC_MEMBER("left"),
                              ZARN_DOC_MEMBER("object_id"), ZARN_DOC_MEMBER("top"),
                              ZARN_DOC_MEMBER("tracker_confidence"), ZARN_DOC_MEMBER("width")};
} // namespace tracker

namespace classification {
enum : int { classifier_id, result_label, result_prob, count };
constexpr Member members[] = {ZARN_DOC_MEMBER("classifier_id"), ZARN_DOC_MEMBER("result_label"),
                              ZARN_DOC_MEMBER("result_prob")};
} // namespace classification

#undef ZARN_DOC_MEMBER

// The index of the member called name[0, length) in an entry's table, or -1.
template <std::size_t N>
inline int find_member(const Member (&members)[N], const char *name, std::size_t length) {
  for (std::size_t i = 0; i < N; i++)
    if (members[i].name_length == length && std::memcmp(members[i].name, name, length) == 0)
      return static_cast<int>(i);
  return -1;
}

// Labels ("obj_label", "result_label") carry at most this many bytes: the
// SDK's label arrays less their NUL.
constexpr std::size_t kLabelBytes = 127;

// How many of a label's `length` bytes travel: all of them, or as many
// whole UTF-8 characters as fit in kLabelBytes. A cut inside a character
// would leave half of it for the next writer to replace with U+FFFD.
inline std::size_t label_length(const char *text, std::size_t length) {
  if (length <= kLabelBytes)
    return length;
  std::size_t n = kLabelBytes;
  // text[n] is the first byte left out; while it continues a character
  // (10xxxxxx), that character is left out whole. A character has at most
  // three continuation bytes.
  for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80;
       back++)
    n--;
  return (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80 ? kLabelBytes : n;
}

namespace detail {
constexpr bool name_before(const char *a, const char *b) {
  return *a == *b ? (*a != '\0' && name_before(a + 1, b + 1))
                  : static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}
template <std::size_t N> constexpr bool ascending(const Member (&members)[N], std::size_t i = 1) {
  return i >= N || (name_before(members[i - 1].name, members[i].name) && ascending(members, i + 1));
}
} // namespace detail

// The writer relies on these orders; so does a reader that compares with it.
static_assert(detail::ascending(frame::members) && sizeof frame::members / sizeof(Member) == frame::count, "frame members");
static_assert(detail::ascending(ts::members) && sizeof ts::members / sizeof(Member) == ts::count, "ts members");
static_assert(detail::ascending(resolution::members) && sizeof resolution::members / sizeof(Member) == resolution::count, "resolution members");
static_assert(detail::ascending(object::members) && sizeof object::members / sizeof(Member) == object::count, "object members");
static_assert(detail::ascending(tracker::members) && sizeof tracker::members / sizeof(Member) == tracker::count, "tracker members");
static_assert(detail::ascending(classification::members) && sizeof classification::members / sizeof(Member) == classification::count, "class members");

} // namespace doc
} // namespace zarn

#endif // ZARNDOCUMENT_H
