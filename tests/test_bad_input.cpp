// What the demux does with each class of bad trailer or document: every one
// is reported with a WARNING in the "zarnnvmetademux" debug category, the
// buffer moves on, and (in the sanitizer build) nothing leaks.
//
//   class of input                     | buffer comes out          | metadata
//   -----------------------------------+---------------------------+----------------------
//   shorter than the 4-byte length     | untouched                 | none
//   length L past the buffer's start   | untouched                 | none
//   L = 2^32 - 1                       | untouched                 | none
//   L = 0 on four bytes (no payload)   | untouched (4 bytes)       | none
//   text that is not JSON              | untouched                 | none
//   a length one byte short or long    | untouched                 | none (does not parse)
//   100000 nested arrays               | untouched                 | none (refused unparsed)
//   null (NaN, infinities) in numbers  | trailer cut               | field keeps its default
//   numbers too large for their field  | trailer cut               | low 32 bits / saturated
//   members of the wrong type          | trailer cut               | member ignored
//   invalid UTF-8 in a string          | untouched                 | none (does not parse)
//   invalid UTF-8 outside strings      | untouched                 | none (does not parse)
//   a 1 MiB label                      | trailer cut               | first 127 bytes kept

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "gstzarnnvmetademux.h"

using zarn_test::bytes_of;
using zarn_test::muxed_buffer;

namespace {

class RegisterDemux : public ::testing::Environment {
public:
  void SetUp() override {
    gst_plugin_zarnnvmetademux_register();
    gst_debug_set_active(TRUE);
    gst_debug_set_threshold_for_name("zarnnvmetademux", GST_LEVEL_WARNING);
  }
};
const auto *const register_demux = ::testing::AddGlobalTestEnvironment(new RegisterDemux);

std::vector<std::string> warnings;
// How many of them did not name a demux element.
int warnings_without_element = 0;

void collect(GstDebugCategory *category, GstDebugLevel level, const gchar *, const gchar *, gint,
             GObject *object, GstDebugMessage *message, gpointer) {
  if (level == GST_LEVEL_WARNING &&
      std::string(gst_debug_category_get_name(category)) == "zarnnvmetademux") {
    warnings.push_back(gst_debug_message_get(message));
    if (!object || !g_type_is_a(G_OBJECT_TYPE(object), GST_TYPE_ZARNNVMETADEMUX))
      warnings_without_element++;
  }
}

// Pushes raw bytes through the demux and returns what came out, with the
// warnings it logged.
GstBuffer *demux_bytes(const std::vector<guint8> &bytes) {
  warnings.clear();
  warnings_without_element = 0;
  gst_debug_add_log_function(collect, NULL, NULL);
  GstHarness *h = gst_harness_new("zarnnvmetademux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  GstBuffer *in = gst_buffer_new_allocate(NULL, bytes.size(), NULL);
  gst_buffer_fill(in, 0, bytes.data(), bytes.size());
  EXPECT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  gst_harness_teardown(h);
  gst_debug_remove_log_function(collect);
  return out;
}

std::vector<guint8> trailer(std::vector<guint8> payload, const std::string &document) {
  GstBuffer *b = muxed_buffer(payload, document);
  std::vector<guint8> bytes = bytes_of(b);
  gst_buffer_unref(b);
  return bytes;
}

std::vector<guint8> with_length(std::size_t size, std::uint32_t length) {
  std::vector<guint8> bytes(size, 'x');
  zarn::write_trailer_length(bytes.data() + size - 4, length);
  return bytes;
}

std::string nested(int depth) {
  return "{\"frames\":" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

const std::vector<guint8> kPayload = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};
const std::string kDocument = "{\"frames\":[{\"frame_num\":3,\"id\":9}]}";

// kPayload and kDocument with a length that is off by `delta`, as a flipped
// low bit leaves it: the document then starts inside the payload or inside
// itself.
std::vector<guint8> with_length_of(const std::string &document, int delta) {
  std::vector<guint8> bytes = trailer(kPayload, document);
  zarn::write_trailer_length(bytes.data() + bytes.size() - 4,
                             static_cast<std::uint32_t>(static_cast<int>(document.size()) + delta));
  return bytes;
}

} // namespace

TEST(BadInput, EveryClassWarnsAndTheBufferMovesOn) {
  const std::string big_label(1 << 20, 'L');
  struct Case {
    const char *name;
    std::vector<guint8> bytes;
    std::vector<guint8> expected_out;
    const char *warning; // part of the expected WARNING text
  };
  const std::vector<Case> cases = {
      {"empty buffer", {}, {}, "no valid metadata trailer"},
      {"3 bytes", {1, 2, 3}, {1, 2, 3}, "no valid metadata trailer"},
      {"L past the buffer", with_length(10, 7), with_length(10, 7), "no valid metadata trailer"},
      {"L = 2^32 - 1", with_length(10, 0xFFFFFFFFu), with_length(10, 0xFFFFFFFFu),
       "no valid metadata trailer"},
      {"L = 0 on four bytes", {0, 0, 0, 0}, {0, 0, 0, 0}, "trailer fills the whole buffer"},
      {"not JSON", trailer(kPayload, "frames: 1"), trailer(kPayload, "frames: 1"),
       "passed on untouched"},
      {"length one byte short", with_length_of(kDocument, -1), with_length_of(kDocument, -1),
       "passed on untouched"},
      {"length one byte long", with_length_of(kDocument, +1), with_length_of(kDocument, +1),
       "passed on untouched"},
      {"100000 nested arrays", trailer(kPayload, nested(100000)),
       trailer(kPayload, nested(100000)), "nested deeper"},
      {"null in a number member",
       trailer(kPayload, "{\"frames\":[{\"objects\":[{\"left\":null,\"obj_label\":\"a\","
                         "\"display_text\":\"b\"}]}]}"),
       kPayload, "\"left\""},
      {"number too large for 32 bits",
       trailer(kPayload, "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[1099511627776,2]}}]}"),
       kPayload, "does not fit 32 bits"},
      {"number too large for 64 bits", trailer(kPayload, "{\"frames\":[{\"id\":1e30}]}"),
       kPayload, "does not fit 64 bits"},
      {"number too large for a float",
       trailer(kPayload, "{\"frames\":[{\"objects\":[{\"left\":1e300}]}]}"), kPayload,
       "does not fit a float"},
      {"wrong member type", trailer(kPayload, "{\"frames\":[{\"id\":\"7\"}]}"), kPayload,
       "\"id\" is not a number"},
      {"frames of the wrong type", trailer(kPayload, "{\"frames\":\"all\"}"), kPayload,
       "\"frames\" array"},
      {"invalid UTF-8 in a string", trailer(kPayload, "{\"frames\":[{\"x\":\"\xFF\"}]}"),
       trailer(kPayload, "{\"frames\":[{\"x\":\"\xFF\"}]}"), "not restored"},
      {"invalid UTF-8 outside strings", trailer(kPayload, "{\"frames\":[\xC3\xA9]}"),
       trailer(kPayload, "{\"frames\":[\xC3\xA9]}"), "not restored"},
      {"1 MiB label",
       trailer(kPayload, "{\"frames\":[{\"objects\":[{\"obj_label\":\"" + big_label +
                             "\",\"display_text\":\"\"}]}]}"),
       kPayload, "label of 1048576 bytes cut to 127"},
  };
  for (const Case &c : cases) {
    GstBuffer *out = demux_bytes(c.bytes);
    ASSERT_NE(out, nullptr) << c.name;
    EXPECT_EQ(bytes_of(out), c.expected_out) << c.name;
    bool found = false;
    for (const std::string &w : warnings)
      found = found || w.find(c.warning) != std::string::npos;
    EXPECT_TRUE(found) << c.name << ": no WARNING containing '" << c.warning << "' among "
                       << warnings.size();
    // Each line names the element it came from, restorers' lines too.
    EXPECT_EQ(warnings_without_element, 0) << c.name;
    gst_buffer_unref(out);
  }
}

TEST(BadInput, WhatIsKeptOfAPartlyBadDocument) {
  // Good members survive next to bad ones.
  GstBuffer *out = demux_bytes(trailer(
      kPayload, "{\"frames\":[{\"id\":3,\"ts\":{\"received\":null,\"corrected\":9},"
                "\"resolution\":{\"src\":[1099511627776,540]},\"objects\":[{\"left\":1e300,"
                "\"top\":2.5,\"obj_label\":\"" + std::string(300, 'L') + "\",\"display_text\":7}]}]}"));
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(out);
  ASSERT_NE(batch, nullptr);
  auto *frame = static_cast<NvDsFrameMeta *>(batch->frame_meta_list->data);
  auto *obj = static_cast<NvDsObjectMeta *>(frame->obj_meta_list->data);
  EXPECT_EQ(obj->rect_params.left, std::numeric_limits<float>::max());
  EXPECT_EQ(obj->rect_params.top, 2.5f);
  EXPECT_EQ(std::string(obj->obj_label), std::string(127, 'L'));
  EXPECT_STREQ(obj->text_params.display_text, "");
  const std::vector<NvDsMeta *> metas = zarn_test::nvds_metas_in_attach_order(out);
  ASSERT_EQ(metas.size(), 3u);
  auto *id = static_cast<NvDsMetaId *>(metas[0]->meta_data);
  EXPECT_EQ(id->id, 3);
  EXPECT_EQ(id->received, 0);
  EXPECT_EQ(id->corrected, 9);
  auto *dims = static_cast<NvDims *>(metas[1]->meta_data);
  EXPECT_EQ(dims->start_width, 0); // the low 32 bits of 2^40
  EXPECT_EQ(dims->start_height, 540);
  gst_buffer_unref(out);
}
