// Batch documents both ways: the serializer's text, the restoration of a
// DeepStream batch, and the round trip mux -> demux -> mux.

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>
#include <glib/gstdio.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "debug_log.h"
#include "fixtures.h"
#include "plugin_env.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"
#include "nvds_standin.h"

using nlohmann::json;
using zarn_test::add_frame;
using zarn_test::add_object;
using zarn_test::add_record_user_meta;
using zarn_test::attach_new_batch;
using zarn_test::bytes_of;
using zarn_test::muxed_buffer;
using zarn_test::new_dims;
using zarn_test::new_id;
using zarn_test::nvds_metas_in_attach_order;
using zarn_test::ObjectSpec;
using zarn_test::payload_buffer;
using zarn_test::split_trailer;
using zarn_test::without_pipeline_time;

namespace {

const auto *const register_plugins = ::testing::AddGlobalTestEnvironment(
    new zarn_test::RegisterPlugins(
        {gst_plugin_zarnnvmetamux_register, gst_plugin_zarnnvmetademux_register}));

std::string document_of(GstBuffer *buffer) {
  unsigned int length = 0;
  unsigned char *text = get_json_from_meta(buffer, &length, NULL);
  std::string document = text ? std::string(reinterpret_cast<char *>(text), length) : "<none>";
  delete[] text;
  return document;
}

// Restores a document onto a new buffer.
GstBuffer *restored(const std::string &document) {
  GstBuffer *buffer = payload_buffer(4);
  deserialize_json_to_meta(reinterpret_cast<const unsigned char *>(document.data()),
                           static_cast<unsigned int>(document.size()), buffer);
  return buffer;
}

template <typename T> T *nth(GList *list, guint n) {
  return static_cast<T *>(g_list_nth_data(list, n));
}

NvDsObjectMeta *only_object(NvDsBatchMeta *batch) {
  EXPECT_EQ(g_list_length(batch->frame_meta_list), 1u);
  auto *frame = nth<NvDsFrameMeta>(batch->frame_meta_list, 0);
  EXPECT_EQ(g_list_length(frame->obj_meta_list), 1u);
  return nth<NvDsObjectMeta>(frame->obj_meta_list, 0);
}

const char *kObject =
    "\"classes\":[],\"confidence\":0.5,\"display_text\":\"d\",\"height\":4.0,\"left\":1.0,"
    "\"obj_label\":\"o\",\"top\":2.0,\"width\":3.0";

} // namespace

TEST(BatchDocument, TheReferenceExampleByteForByte) {
  // As a pipeline builds it: records attached upstream, the stream muxer's
  // batch, then one tracked and classified object.
  GstBuffer *buffer = payload_buffer(64);
  gst_buffer_add_nvds_id_meta(buffer, new_id(42, 1600000000000));
  gst_buffer_add_dims_meta(buffer, new_dims(960, 540, 640, 360));
  NvDsBatchMeta *batch = zarn_standin_streammux_buffer(buffer, 7);
  ASSERT_NE(batch, nullptr);
  auto *frame = static_cast<NvDsFrameMeta *>(batch->frame_meta_list->data);
  add_object(batch, frame,
             {10, 20, 30, 40, 0.5f, "car", "car", 0.5f, 3, {{2, {{"red", 0.75f}}}}});

  const int64_t before = getTs();
  std::vector<int64_t> times;
  EXPECT_EQ(
      without_pipeline_time(document_of(buffer), &times),
      "{\"frames\":[{\"frame_num\":7,\"id\":42,\"objects\":[{\"classes\":[{\"classifier_id\":2,"
      "\"result_label\":\"red\",\"result_prob\":0.75}],\"confidence\":0.5,\"display_text\":"
      "\"car\",\"height\":40.0,\"left\":10.0,\"obj_label\":\"car\",\"top\":20.0,\"tracker\":{"
      "\"height\":40.0,\"left\":10.0,\"object_id\":3,\"top\":20.0,\"tracker_confidence\":0.5,"
      "\"width\":30.0},\"width\":30.0}],\"resolution\":{\"mux\":[640,360],\"src\":[960,540]},"
      "\"ts\":{\"pipeline_time\":P,\"received\":1600000000000}}]}");
  ASSERT_EQ(times.size(), 1u);
  EXPECT_GE(times[0], before - 1600000000000);
  EXPECT_LE(times[0], getTs() - 1600000000000);
  gst_buffer_unref(buffer);
}

TEST(BatchDocument, FloatForms) {
  const struct {
    float value;
    const char *text;
  } cases[] = {
      {0.9f, "0.8999999761581421"},
      {0.5f, "0.5"},
      {100.0f, "100.0"},
      {0.001f, "0.0010000000474974513"},
      {0.00001f, "9.999999747378752e-06"},
      {1e16f, "1.0000000272564224e+16"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {NAN, "null"},
      {INFINITY, "null"},
      {-INFINITY, "null"},
  };
  for (const auto &c : cases) {
    GstBuffer *buffer = payload_buffer(4);
    NvDsBatchMeta *batch = attach_new_batch(buffer);
    add_object(batch, add_frame(batch, 0), {1, 2, 3, 4, c.value, "o", "d"});
    const std::string doc = document_of(buffer);
    const std::string member = "\"confidence\":";
    const std::size_t at = doc.find(member) + member.size();
    EXPECT_EQ(doc.substr(at, doc.find(',', at) - at), c.text) << c.text;
    gst_buffer_unref(buffer);
  }
}

// format.md's float test vectors: what the writer writes for these float
// bits is the JSON library's own text for the widened double (digits not
// always the shortest), and that text reads back to the same float.
TEST(BatchDocument, TheFormatsFloatTestVectors) {
  const struct {
    std::uint32_t bits;
    const char *text;
  } vectors[] = {
      {0x44484851, "801.1299438476563"},     // shortest: ...562, a tie rounded up
      {0x3ed7720e, "0.42079204320907593"},   // 17 digits where 16 suffice
      {0x58800000, "1.125899906842624e+15"}, // 2^50: exponent form
      {0x3f666666, "0.8999999761581421"},
      {0x42c80000, "100.0"},
      {0x3727c5ac, "9.999999747378752e-06"},
      {0x7f7fffff, "3.4028234663852886e+38"},
      {0x00000001, "1.401298464324817e-45"},
      {0x80000000, "-0.0"},
  };
  for (const auto &v : vectors) {
    SCOPED_TRACE(v.text);
    float value;
    std::memcpy(&value, &v.bits, sizeof value);
    GstBuffer *buffer = payload_buffer(4);
    NvDsBatchMeta *batch = attach_new_batch(buffer);
    add_object(batch, add_frame(batch, 0), {value, 2, 3, 4, 0.5f, "o", "d"});
    const std::string doc = document_of(buffer);
    const std::string member = "\"left\":";
    const std::size_t at = doc.find(member) + member.size();
    const std::string written = doc.substr(at, doc.find(',', at) - at);
    EXPECT_EQ(written, v.text);
    EXPECT_EQ(written, json(static_cast<double>(value)).dump());
    const float back = static_cast<float>(g_ascii_strtod(written.c_str(), NULL));
    std::uint32_t back_bits;
    std::memcpy(&back_bits, &back, sizeof back_bits);
    EXPECT_EQ(back_bits, v.bits);
    gst_buffer_unref(buffer);
  }
}

TEST(BatchDocument, SerializerEdgeCases) {
  struct Case {
    const char *name;
    void (*build)(NvDsBatchMeta *);
    const char *document; // "pipeline_time" values replaced by P
  };
  const Case cases[] = {
      {"no frames", [](NvDsBatchMeta *) {}, "{\"frames\":[]}"},
      {"frames without objects or records",
       [](NvDsBatchMeta *b) {
         add_frame(b, 3);
         add_frame(b, -4);
       },
       "{\"frames\":[{\"frame_num\":3,\"objects\":[]},{\"frame_num\":-4,\"objects\":[]}]}"},
      {"empty label skipped, classifier ids kept",
       [](NvDsBatchMeta *b) {
         add_object(b, add_frame(b, 0),
                    {1, 2, 3, 4, 0.5f, "o", "d", 0.0f, UNTRACKED_OBJECT_ID,
                     {{1, {{"a", 0.25f}, {"", 0.5f}}}, {2, {{"b", 1.0f}}}}});
       },
       "{\"frames\":[{\"frame_num\":0,\"objects\":[{\"classes\":[{\"classifier_id\":1,"
       "\"result_label\":\"a\",\"result_prob\":0.25},{\"classifier_id\":2,\"result_label\":"
       "\"b\",\"result_prob\":1.0}],\"confidence\":0.5,\"display_text\":\"d\",\"height\":4.0,"
       "\"left\":1.0,\"obj_label\":\"o\",\"top\":2.0,\"width\":3.0}]}]}"},
      {"tracker confidence 0.0 hides a set tracker box",
       [](NvDsBatchMeta *b) { add_object(b, add_frame(b, 0), {1, 2, 3, 4, 0.5f, "o", "d", 0.0f, 9}); },
       "{\"frames\":[{\"frame_num\":0,\"objects\":[{\"classes\":[],\"confidence\":0.5,"
       "\"display_text\":\"d\",\"height\":4.0,\"left\":1.0,\"obj_label\":\"o\",\"top\":2.0,"
       "\"width\":3.0}]}]}"},
      {"object id above 2^63 is unsigned",
       [](NvDsBatchMeta *b) {
         add_object(b, add_frame(b, 0),
                    {1, 2, 3, 4, 0.5f, "o", "d", 0.25f, 18446744073709551615ull});
       },
       "{\"frames\":[{\"frame_num\":0,\"objects\":[{\"classes\":[],\"confidence\":0.5,"
       "\"display_text\":\"d\",\"height\":4.0,\"left\":1.0,\"obj_label\":\"o\",\"top\":2.0,"
       "\"tracker\":{\"height\":4.0,\"left\":1.0,\"object_id\":18446744073709551615,\"top\":2.0,"
       "\"tracker_confidence\":0.25,\"width\":3.0},\"width\":3.0}]}]}"},
      {"NULL display text",
       [](NvDsBatchMeta *b) { add_object(b, add_frame(b, 0), {1, 2, 3, 4, 0.5f, "o", nullptr}); },
       "{\"frames\":[{\"frame_num\":0,\"objects\":[{\"classes\":[],\"confidence\":0.5,"
       "\"display_text\":\"\",\"height\":4.0,\"left\":1.0,\"obj_label\":\"o\",\"top\":2.0,"
       "\"width\":3.0}]}]}"},
      {"invalid UTF-8 and escapes",
       [](NvDsBatchMeta *b) {
         add_object(b, add_frame(b, 0), {1, 2, 3, 4, 0.5f, "a\xC3(b", "\"q\"\\\n\x01\xC3\xA9"});
       },
       "{\"frames\":[{\"frame_num\":0,\"objects\":[{\"classes\":[],\"confidence\":0.5,"
       "\"display_text\":\"\\\"q\\\"\\\\\\n\\u0001\xC3\xA9\",\"height\":4.0,\"left\":1.0,"
       "\"obj_label\":\"a\xEF\xBF\xBD(b\",\"top\":2.0,\"width\":3.0}]}]}"},
      {"identity with timestamps all 0",
       [](NvDsBatchMeta *b) {
         add_record_user_meta(b, add_frame(b, 1), NVDS_META_ID_TYPE, NvDsMetaId{8, 0, 0, 0, 0});
       },
       "{\"frames\":[{\"frame_num\":1,\"id\":8,\"objects\":[]}]}"},
      {"later records replace earlier ones only where they write",
       [](NvDsBatchMeta *b) {
         NvDsFrameMeta *f = add_frame(b, 1);
         add_record_user_meta(b, f, NVDS_META_ID_TYPE, NvDsMetaId{1, 0, 0, 5, 0});
         add_record_user_meta(b, f, NVDS_META_ID_TYPE, NvDsMetaId{2, 0, 0, 0, 0});
         add_record_user_meta(b, f, NV_DIMS_TYPE, NvDims{1, 1, 2, 2});
         add_record_user_meta(b, f, NV_DIMS_TYPE, NvDims{7, 0, 0, 0});
         add_record_user_meta(b, f, NV_DIMS_TYPE, NvDims{0, 0, 3, 3});
       },
       "{\"frames\":[{\"frame_num\":1,\"id\":2,\"objects\":[],\"resolution\":{\"mux\":[3,3]},"
       "\"ts\":{\"corrected\":5}}]}"},
  };
  for (const Case &c : cases) {
    GstBuffer *buffer = payload_buffer(4);
    c.build(attach_new_batch(buffer));
    std::vector<int64_t> times;
    EXPECT_EQ(without_pipeline_time(document_of(buffer), &times), c.document) << c.name;
    gst_buffer_unref(buffer);
  }
}

TEST(BatchDocument, OneClockReadingForEveryFrame) {
  GstBuffer *buffer = payload_buffer(4);
  NvDsBatchMeta *batch = attach_new_batch(buffer);
  for (int i = 0; i < 50; i++)
    add_record_user_meta(batch, add_frame(batch, i), NVDS_META_ID_TYPE,
                         NvDsMetaId{i, 1000 + i, 0, 0, 0});
  std::vector<int64_t> times;
  without_pipeline_time(document_of(buffer), &times);
  ASSERT_EQ(times.size(), 50u);
  for (int i = 0; i < 50; i++)
    EXPECT_EQ(times[i] + 1000 + i, times[0] + 1000);
  gst_buffer_unref(buffer);
}

TEST(BatchDocument, LabelsFillingAllTheirBytesAreNotReadPastTheEnd) {
  GstBuffer *buffer = payload_buffer(4);
  NvDsBatchMeta *batch = attach_new_batch(buffer);
  NvDsObjectMeta *obj =
      add_object(batch, add_frame(batch, 0),
                 {1, 2, 3, 4, 0.5f, "o", "d", 0.0f, UNTRACKED_OBJECT_ID, {{1, {{"c", 0.5f}}}}});
  std::memset(obj->obj_label, 'x', MAX_LABEL_SIZE);
  auto *label = static_cast<NvDsLabelInfo *>(
      static_cast<NvDsClassifierMeta *>(obj->classifier_meta_list->data)->label_info_list->data);
  std::memset(label->result_label, 'y', MAX_LABEL_SIZE);
  const json doc = json::parse(document_of(buffer));
  const json &object = doc["frames"][0]["objects"][0];
  EXPECT_EQ(object["obj_label"], std::string(MAX_LABEL_SIZE, 'x'));
  EXPECT_EQ(object["classes"][0]["result_label"], std::string(MAX_LABEL_SIZE, 'y'));
  gst_buffer_unref(buffer);
}

// The SDK keeps a label too long for result_label in pResult_label and
// leaves result_label empty: the document carries it, cut to whole
// characters within 127 bytes, and a relay writes it again unchanged.
TEST(BatchDocument, LongClassifierLabelsTravelCutToWholeCharacters) {
  std::string long_label;
  for (int i = 0; i < 100; i++)
    long_label += "\xC3\xA9";
  const struct {
    const char *what;
    const char *result_label;
    std::string p_result_label;
    std::string written; // "" for no class entry
  } cases[] = {
      {"long label", "", long_label, long_label.substr(0, 126)},
      {"short label in pResult_label", "", "shorter", "shorter"},
      {"result_label wins", "red", long_label, "red"},
      {"neither", "", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    GstBuffer *buffer = payload_buffer(4);
    NvDsBatchMeta *batch = attach_new_batch(buffer);
    NvDsObjectMeta *obj =
        add_object(batch, add_frame(batch, 0),
                   {1, 2, 3, 4, 0.5f, "o", "d", 0.0f, UNTRACKED_OBJECT_ID, {{1, {{"", 0.5f}}}}});
    auto *label = static_cast<NvDsLabelInfo *>(
        static_cast<NvDsClassifierMeta *>(obj->classifier_meta_list->data)->label_info_list->data);
    g_strlcpy(label->result_label, c.result_label, MAX_LABEL_SIZE);
    label->pResult_label = c.p_result_label.empty() ? NULL : g_strdup(c.p_result_label.c_str());
    const std::string document = document_of(buffer);
    const json parsed = json::parse(document);
    const json &classes = parsed["frames"][0]["objects"][0]["classes"];
    if (c.written.empty()) {
      EXPECT_TRUE(classes.empty());
    } else {
      ASSERT_EQ(classes.size(), 1u);
      EXPECT_EQ(classes[0]["result_label"], c.written);
      // Through a relay: demux, then mux again.
      GstBuffer *relayed = restored(document);
      EXPECT_EQ(json::parse(document_of(relayed))["frames"][0]["objects"][0]["classes"], classes);
      gst_buffer_unref(relayed);
    }
    gst_buffer_unref(buffer);
  }
}

TEST(BatchRestore, FieldsOfARestoredObject) {
  GstBuffer *buffer = restored(
      "{\"frames\":[{\"frame_num\":4294967303,\"objects\":[{\"class_id\":-2,\"classes\":["
      "{\"classifier_id\":2,\"result_label\":\"red\",\"result_prob\":0.75}],"
      "\"confidence\":0.5,\"display_text\":\"car 1\",\"height\":40.0,\"left\":10.5,"
      "\"obj_label\":\"car\",\"top\":20.0,\"tracker\":{\"height\":41.0,\"left\":11.0,"
      "\"object_id\":4294967301,\"top\":21.0,\"tracker_confidence\":0.25,\"width\":31.0},"
      "\"width\":30.0}]}]}");
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer);
  ASSERT_NE(batch, nullptr);
  // The batch is attached last, after the entry's records.
  const std::vector<NvDsMeta *> metas = nvds_metas_in_attach_order(buffer);
  ASSERT_EQ(metas.size(), 2u); // no "id": dimensions record, then the batch
  EXPECT_EQ(metas[0]->meta_type, NV_DIMS_TYPE);
  EXPECT_EQ(metas[1]->meta_type, NVDS_BATCH_GST_META);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), metas[1]);
  EXPECT_EQ(batch->max_frames_in_batch, 1u);
  EXPECT_EQ(batch->base_meta.batch_meta, batch);

  auto *frame = nth<NvDsFrameMeta>(batch->frame_meta_list, 0);
  EXPECT_EQ(frame->frame_num, 7);
  NvDsObjectMeta *obj = only_object(batch);
  EXPECT_EQ(obj->rect_params.left, 10.5f);
  EXPECT_EQ(obj->rect_params.top, 20.0f);
  EXPECT_EQ(obj->rect_params.width, 30.0f);
  EXPECT_EQ(obj->rect_params.height, 40.0f);
  EXPECT_EQ(obj->confidence, 0.5f);
  EXPECT_EQ(obj->class_id, -2);
  EXPECT_STREQ(obj->obj_label, "car");
  EXPECT_STREQ(obj->text_params.display_text, "car 1");
  EXPECT_EQ(obj->tracker_bbox_info.org_bbox_coords.left, 11.0f);
  EXPECT_EQ(obj->tracker_bbox_info.org_bbox_coords.top, 21.0f);
  EXPECT_EQ(obj->tracker_bbox_info.org_bbox_coords.width, 31.0f);
  EXPECT_EQ(obj->tracker_bbox_info.org_bbox_coords.height, 41.0f);
  EXPECT_EQ(obj->tracker_confidence, 0.25f);
  // The whole 64-bit id written by the mux comes back.
  EXPECT_EQ(obj->object_id, 4294967301ull);
  ASSERT_EQ(g_list_length(obj->classifier_meta_list), 1u);
  auto *classifier = nth<NvDsClassifierMeta>(obj->classifier_meta_list, 0);
  EXPECT_EQ(classifier->unique_component_id, 2);
  ASSERT_EQ(g_list_length(classifier->label_info_list), 1u);
  auto *label = nth<NvDsLabelInfo>(classifier->label_info_list, 0);
  EXPECT_STREQ(label->result_label, "red");
  EXPECT_EQ(label->result_prob, 0.75f);
  gst_buffer_unref(buffer);
}

TEST(BatchRestore, MissingAndOddMembers) {
  // Pool defaults of the stand-in: zero, except class_id -1, object_id
  // UNTRACKED_OBJECT_ID.
  {
    SCOPED_TRACE("no left, no tracker, no class_id");
    GstBuffer *b = restored(
        "{\"frames\":[{\"objects\":[{\"classes\":[],\"confidence\":0.5,\"display_text\":\"d\","
        "\"height\":4.0,\"obj_label\":\"o\",\"top\":2.0,\"width\":3.0}]}]}");
    NvDsObjectMeta *obj = only_object(gst_buffer_get_nvds_batch_meta(b));
    EXPECT_EQ(obj->rect_params.left, 0.0f);
    EXPECT_EQ(obj->rect_params.top, 2.0f);
    EXPECT_EQ(obj->tracker_confidence, 0.0f);
    EXPECT_EQ(obj->object_id, UNTRACKED_OBJECT_ID);
    EXPECT_EQ(obj->class_id, -1);
    // "classes":[] still gives one, empty, classifier meta.
    ASSERT_EQ(g_list_length(obj->classifier_meta_list), 1u);
    EXPECT_EQ(static_cast<NvDsClassifierMeta *>(obj->classifier_meta_list->data)->label_info_list,
              nullptr);
    gst_buffer_unref(b);
  }
  {
    SCOPED_TRACE("required members missing, null or of the wrong type");
    GstBuffer *b = restored(
        "{\"frames\":[{\"objects\":[{\"left\":null,\"top\":\"2\",\"obj_label\":7,"
        "\"tracker\":{\"left\":1.0},\"classes\":[{\"result_prob\":0.5},3,{\"result_label\":\"x\"}]}]}]}");
    NvDsObjectMeta *obj = only_object(gst_buffer_get_nvds_batch_meta(b));
    EXPECT_EQ(obj->rect_params.left, 0.0f);
    EXPECT_EQ(obj->rect_params.top, 0.0f);
    EXPECT_STREQ(obj->obj_label, "");
    EXPECT_STREQ(obj->text_params.display_text, "");
    EXPECT_EQ(obj->tracker_bbox_info.org_bbox_coords.left, 1.0f);
    EXPECT_EQ(obj->object_id, UNTRACKED_OBJECT_ID);
    ASSERT_EQ(g_list_length(obj->classifier_meta_list), 1u);
    auto *classifier = static_cast<NvDsClassifierMeta *>(obj->classifier_meta_list->data);
    ASSERT_EQ(g_list_length(classifier->label_info_list), 2u);
    EXPECT_STREQ(nth<NvDsLabelInfo>(classifier->label_info_list, 0)->result_label, "");
    EXPECT_EQ(nth<NvDsLabelInfo>(classifier->label_info_list, 0)->result_prob, 0.5f);
    EXPECT_STREQ(nth<NvDsLabelInfo>(classifier->label_info_list, 1)->result_label, "x");
    gst_buffer_unref(b);
  }
  {
    // Labels longer than 127 bytes are cut to whole characters, so that the
    // next mux writes them again unchanged; a U+0000 ends a label, as the
    // SDK's C strings end there.
    const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", clef = "\xF0\x9D\x84\x9E";
    std::string e64;
    for (int i = 0; i < 64; i++)
      e64 += e_acute;
    const struct {
      const char *what;
      std::string json; // as it stands in the document
      std::string kept;
      bool nul_warning;
    } cases[] = {
        {"ASCII, 200 bytes", std::string(200, 'a'), std::string(127, 'a'), false},
        {"64 two-byte characters", e64, e64.substr(0, 126), false},
        {"two bytes across the limit", std::string(126, 'a') + e_acute + "bb",
         std::string(126, 'a'), false},
        {"three bytes across the limit", std::string(125, 'a') + euro, std::string(125, 'a'),
         false},
        {"four bytes across the limit", std::string(124, 'a') + clef, std::string(124, 'a'),
         false},
        {"four bytes ending at the limit", std::string(123, 'a') + clef + "b",
         std::string(123, 'a') + clef, false},
        {"127 bytes whole", std::string(125, 'a') + e_acute, std::string(125, 'a') + e_acute,
         false},
        {"U+0000 inside", "ab\\u0000cd", "ab", true},
    };
    for (const auto &c : cases) {
      SCOPED_TRACE(c.what);
      zarn_test::DebugLog log("zarnnvmetademux", GST_LEVEL_WARNING);
      GstBuffer *b = restored(R"({"frames":[{"objects":[{"obj_label":")" + c.json +
                              R"(","classes":[{"result_label":")" + c.json + R"("}]}]}]})");
      NvDsObjectMeta *obj = only_object(gst_buffer_get_nvds_batch_meta(b));
      EXPECT_EQ(std::string(obj->obj_label), c.kept);
      auto *classifier = static_cast<NvDsClassifierMeta *>(obj->classifier_meta_list->data);
      EXPECT_EQ(std::string(nth<NvDsLabelInfo>(classifier->label_info_list, 0)->result_label),
                c.kept);
      EXPECT_EQ(log.find(GST_LEVEL_WARNING, "holds U+0000").size(), c.nul_warning ? 2u : 0u);
      gst_buffer_unref(b);
    }
    zarn_test::DebugLog log("zarnnvmetademux", GST_LEVEL_WARNING);
    GstBuffer *b = restored(R"({"frames":[{"objects":[{"display_text":"a\u0000b"}]}]})");
    EXPECT_STREQ(only_object(gst_buffer_get_nvds_batch_meta(b))->text_params.display_text, "a");
    EXPECT_EQ(log.find(GST_LEVEL_WARNING, "display_text holds U+0000").size(), 1u);
    gst_buffer_unref(b);
  }
}

TEST(BatchRestore, ClassifiersFollowTheirIds) {
  GstBuffer *b = restored(
      "{\"frames\":[{\"objects\":[{\"classes\":[{\"classifier_id\":1,\"result_label\":\"a\"},"
      "{\"classifier_id\":1,\"result_label\":\"b\"},{\"classifier_id\":2,\"result_label\":\"c\"},"
      "{\"result_label\":\"d\"}]}]}]}");
  NvDsObjectMeta *obj = only_object(gst_buffer_get_nvds_batch_meta(b));
  ASSERT_EQ(g_list_length(obj->classifier_meta_list), 2u);
  auto *first = nth<NvDsClassifierMeta>(obj->classifier_meta_list, 0);
  auto *second = nth<NvDsClassifierMeta>(obj->classifier_meta_list, 1);
  EXPECT_EQ(first->unique_component_id, 1);
  EXPECT_EQ(second->unique_component_id, 2);
  ASSERT_EQ(g_list_length(first->label_info_list), 2u);
  EXPECT_STREQ(nth<NvDsLabelInfo>(first->label_info_list, 1)->result_label, "b");
  // An entry without an id stays with the classifier before it.
  ASSERT_EQ(g_list_length(second->label_info_list), 2u);
  EXPECT_STREQ(nth<NvDsLabelInfo>(second->label_info_list, 1)->result_label, "d");
  gst_buffer_unref(b);
}

TEST(BatchRestore, FramesAndWhenABatchIsRebuilt) {
  const std::string object = std::string("{") + kObject + "}";
  {
    SCOPED_TRACE("frames of every shape");
    GstBuffer *b = restored("{\"frames\":[{\"frame_num\":1,\"objects\":[]},null,"
                            "{\"frame_num\":3,\"id\":3,\"objects\":[5," +
                            object + ",\"x\"," + object + "]},{\"frame_num\":4}]}");
    NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(b);
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(g_list_length(batch->frame_meta_list), 4u);
    // The SDK's downstream elements trust these: a batch of the document's
    // size.
    EXPECT_EQ(batch->max_frames_in_batch, 4u);
    EXPECT_EQ(batch->num_frames_in_batch, 4u);
    const guint objects[] = {0, 0, 2, 0};
    const gint nums[] = {1, 0, 3, 4};
    // Each object entry's records, on its frame too: a dimensions record
    // always, an identity record where there is an "id".
    const guint records[] = {1, 0, 2, 1};
    for (guint i = 0; i < 4; i++) {
      auto *frame = nth<NvDsFrameMeta>(batch->frame_meta_list, i);
      EXPECT_EQ(g_list_length(frame->obj_meta_list), objects[i]) << i;
      EXPECT_EQ(frame->frame_num, nums[i]) << i;
      EXPECT_EQ(g_list_length(frame->frame_user_meta_list), records[i]) << i;
    }
    auto *third = nth<NvDsFrameMeta>(batch->frame_meta_list, 2);
    EXPECT_EQ(nth<NvDsUserMeta>(third->frame_user_meta_list, 0)->base_meta.meta_type,
              NVDS_META_ID_TYPE);
    EXPECT_EQ(nth<NvDsUserMeta>(third->frame_user_meta_list, 1)->base_meta.meta_type,
              NV_DIMS_TYPE);
    // The lookups, which look at the batch, find the frames' records.
    ASSERT_NE(gst_buffer_get_nvds_id_meta(b), nullptr);
    EXPECT_EQ(get_id_from_id_meta(b), 3);
    ASSERT_NE(gst_buffer_get_dims_meta(b), nullptr);
    EXPECT_EQ(gst_buffer_get_dims_meta(b)->start_width, 0);
    gst_buffer_unref(b);
  }
  for (const char *doc : {"{\"frames\":[{\"id\":1}]}", "{\"frames\":[]}",
                          "{\"frames\":[{\"id\":1,\"objects\":{}}]}", "{\"frames\":[null]}"}) {
    SCOPED_TRACE(doc);
    GstBuffer *b = restored(doc);
    EXPECT_EQ(gst_buffer_get_nvds_batch_meta(b), nullptr);
    gst_buffer_unref(b);
  }
}

// The SDK's pools have a size. When one runs dry the rest of the batch is
// left out with a WARNING, what was restored stays, and the payload comes
// out whole.
TEST(BatchRestore, APoolThatRunsDryStopsTheRestoration) {
  struct Case {
    const char *what;
    guint limit;
    std::string document;
    std::vector<guint> objects;   // per restored frame
    std::vector<guint> labels;    // per object of the last frame, over its classifiers
    const char *warning;
  };
  const std::string plain = std::string("{") + kObject + "}";
  const std::string two_classifiers =
      R"({"classes":[{"classifier_id":1,"result_label":"a"},)"
      R"({"classifier_id":2,"result_label":"b"}],"left":7.0,"obj_label":"o"})";
  const std::string three_labels =
      R"({"classes":[{"result_label":"a"},{"result_label":"b"},)"
      R"({"result_label":"c"}],"left":7.0,"obj_label":"o"})";
  const std::vector<Case> cases = {
      {"frames", 1, R"({"frames":[{"objects":[]},{"objects":[]}]})", {0}, {}, "frame meta"},
      {"objects", 3,
       R"({"frames":[{"objects":[)" + plain + "," + plain + R"(]},{"objects":[)" + plain + "," +
           plain + "]}]}",
       {2, 1}, {}, "object meta"},
      {"classifiers", 3,
       R"({"frames":[{"objects":[)" + two_classifiers + "," + two_classifiers + "]}]}", {2},
       {2, 1}, "classifier meta"},
      {"labels", 2, R"({"frames":[{"objects":[)" + three_labels + "]}]}", {1}, {2},
       "label info meta"},
      {"user metas", 1, R"({"frames":[{"id":5,"objects":[]}]})", {0}, {},
       "lacks its dimensions record"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    zarn_test::DebugLog log("zarnnvmetademux", GST_LEVEL_WARNING);
    GstHarness *h = gst_harness_new("zarnnvmetademux");
    gst_harness_set_src_caps_str(h, "application/octet-stream");
    GstBuffer *in = payload_buffer(100);
    const std::vector<guint8> payload = bytes_of(in);
    zarn_standin_limit_pools(c.limit);
    GstBuffer *out = gst_harness_push_and_pull(h, muxed_buffer(payload, c.document));
    zarn_standin_limit_pools(0);
    gst_buffer_unref(in);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(bytes_of(out), payload);
    EXPECT_EQ(log.find(GST_LEVEL_WARNING, c.warning).size(), 1u);

    NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(out);
    ASSERT_NE(batch, nullptr);
    ASSERT_EQ(g_list_length(batch->frame_meta_list), c.objects.size());
    for (guint i = 0; i < c.objects.size(); i++)
      EXPECT_EQ(g_list_length(nth<NvDsFrameMeta>(batch->frame_meta_list, i)->obj_meta_list),
                c.objects[i]) << i;
    auto *last = nth<NvDsFrameMeta>(batch->frame_meta_list, c.objects.size() - 1);
    for (guint i = 0; i < c.labels.size(); i++) {
      auto *obj = nth<NvDsObjectMeta>(last->obj_meta_list, i);
      // An object cut short still has all but its classes.
      EXPECT_EQ(obj->rect_params.left, 7.0f) << i;
      EXPECT_STREQ(obj->obj_label, "o") << i;
      guint labels = 0;
      for (GList *l = obj->classifier_meta_list; l; l = l->next)
        labels += g_list_length(static_cast<NvDsClassifierMeta *>(l->data)->label_info_list);
      EXPECT_EQ(labels, c.labels[i]) << i;
    }
    // The frame's records: the identity record took the last user meta.
    if (std::string(c.what) == "user metas") {
      EXPECT_EQ(get_id_from_id_meta(out), 5);
    }
    gst_buffer_unref(out);
    gst_harness_teardown(h);
  }
}

TEST(BatchRestore, NotWritableBufferGetsNothingAndLeaksNothing) {
  GstBuffer *buffer = payload_buffer(4);
  GstBuffer *ref = gst_buffer_ref(buffer);
  const std::string doc =
      std::string("{\"frames\":[{\"id\":1,\"objects\":[{") + kObject + "}]}]}";
  deserialize_json_to_meta(reinterpret_cast<const unsigned char *>(doc.data()),
                           static_cast<unsigned int>(doc.size()), buffer);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), nullptr);
  gst_buffer_unref(ref);
  gst_buffer_unref(buffer);
}

// The round trip that matters most: a batch of several frames with objects,
// tracker data and classes through mux -> demux -> mux.
TEST(BatchRoundTrip, MuxDemuxMuxKeepsFramesAndObjects) {
  GstBuffer *in = payload_buffer(5000);
  const std::vector<guint8> payload = bytes_of(in);
  NvDsBatchMeta *batch = attach_new_batch(in);
  for (int f = 0; f < 3; f++) {
    NvDsFrameMeta *frame = add_frame(batch, 100 + f);
    add_record_user_meta(batch, frame, NVDS_META_ID_TYPE, NvDsMetaId{f + 1, 1000 + f, 0, 7, 0});
    add_record_user_meta(batch, frame, NV_DIMS_TYPE, NvDims{1920, 1080, 640 + f, 360});
    for (int o = 0; o < f * 2; o++) {
      add_object(batch, frame,
                 {10.1f * o, 20.7f, 33.3f, 44.4f, 0.9f - 0.1f * o, o ? "person" : "car",
                  "label \xC3\xA9", o % 2 ? 0.0f : 0.8f, (guint64(f) << 32) + o,
                  {{1, {{"red", 0.6f}, {"", 0.1f}}}, {4, {{"sedan", 0.3f}}}}});
    }
  }

  GstHarness *h = gst_harness_new_parse("zarnnvmetamux ! zarnnvmetademux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  GstBuffer *copy_in = gst_buffer_ref(in);
  const json first = json::parse(document_of(in));
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  gst_harness_teardown(h);
  gst_buffer_unref(copy_in);
  EXPECT_EQ(bytes_of(out), payload);

  // On the demuxed buffer: one identity and one dimensions record per frame
  // at buffer level, then the batch.
  const std::vector<NvDsMeta *> metas = nvds_metas_in_attach_order(out);
  ASSERT_EQ(metas.size(), 7u);
  for (int f = 0; f < 3; f++) {
    EXPECT_EQ(metas[2 * f]->meta_type, NVDS_META_ID_TYPE);
    EXPECT_EQ(static_cast<NvDsMetaId *>(metas[2 * f]->meta_data)->id, f + 1);
    EXPECT_EQ(metas[2 * f + 1]->meta_type, NV_DIMS_TYPE);
    EXPECT_EQ(static_cast<NvDims *>(metas[2 * f + 1]->meta_data)->end_width, 640 + f);
  }
  EXPECT_EQ(metas[6]->meta_type, NVDS_BATCH_GST_META);

  // Written again, the document is the same but for "pipeline_time": the
  // rebuilt frames carry their records too.
  json second = json::parse(document_of(out));
  json expected = first;
  for (json *doc : {&second, &expected})
    for (json &frame : (*doc)["frames"])
      frame["ts"].erase("pipeline_time");
  EXPECT_EQ(second, expected);
  EXPECT_EQ(second.dump(), expected.dump());
  EXPECT_EQ(second["frames"][2]["objects"][1]["classes"].size(), 2u);
  gst_buffer_unref(out);
}

// The mux writes its document text directly; for any values it must be the
// text the JSON library writes for the same document.
TEST(BatchDocument, TextIsTheJsonLibrarysText) {
  const float floats[] = {0.1f, -3.75f, 1e-30f, 3.4e38f, -0.0f, 0.0f, 12345678.0f, NAN, 7e-6f};
  const char *texts[] = {"plain", "", "tab\there", "quote\"back\\slash", "\x01\x1f\x7f",
                         "caf\xC3\xA9 \xE2\x82\xAC", "bad \xC3\x28 \xFF end", "\xF0\x9F\x98\x80"};
  GstBuffer *buffer = payload_buffer(4);
  NvDsBatchMeta *batch = attach_new_batch(buffer);
  for (int f = 0; f < 3; f++) {
    NvDsFrameMeta *frame = add_frame(batch, f == 1 ? -2147483647 - 1 : f);
    add_record_user_meta(batch, frame, NVDS_META_ID_TYPE,
                         NvDsMetaId{-f * 1000000007LL, f ? INT64_MIN : 0, f, -f, 0});
    add_record_user_meta(batch, frame, NV_DIMS_TYPE, NvDims{f, -1, INT64_MAX, f + 1});
    for (unsigned o = 0; o < 8; o++) {
      const float v = floats[(o + f) % 9];
      add_object(batch, frame,
                 {v, floats[(o + 1) % 9], floats[(o + 2) % 9], floats[(o + 3) % 9], v,
                  texts[o], texts[(o + f) % 8], floats[(o + 4) % 9],
                  o % 2 ? UINT64_MAX : guint64(o),
                  {{-1 - static_cast<int>(o), {{texts[(o + 3) % 8], v}, {"", 0.5f}}}}});
    }
  }
  const std::string text = document_of(buffer);
  EXPECT_EQ(json::parse(text).dump(-1, ' ', false, json::error_handler_t::replace), text);
  gst_buffer_unref(buffer);
}

// A relay: an edge box muxes, an aggregator demuxes and muxes again, a
// server does the same. Every hop writes the first hop's document again,
// "pipeline_time" aside, for batch and for buffer-level documents; and the
// demuxed buffer copies and frees the rebuilt frames' records with it.
TEST(Relay, EveryHopWritesTheFirstDocumentAgain) {
  char dir_template[] = "/tmp/zarn-relay-XXXXXX";
  const std::string dir = g_mkdtemp(dir_template);
  const std::string hops[] = {dir + "/edge", dir + "/aggregator", dir + "/server"};

  GstBuffer *batch_buffer = payload_buffer(300);
  NvDsBatchMeta *batch = attach_new_batch(batch_buffer);
  for (int f = 0; f < 2; f++) {
    NvDsFrameMeta *frame = add_frame(batch, 40 + f);
    add_record_user_meta(batch, frame, NVDS_META_ID_TYPE,
                         NvDsMetaId{f + 7, 1600000000000 + f, 0, 33 * f, 0});
    add_record_user_meta(batch, frame, NV_DIMS_TYPE, NvDims{1920, 1080, 640, 360});
    add_object(batch, frame,
               {1.5f, 2.5f, 30.0f, 40.0f, 0.75f, "car", "car 3", 0.5f, guint64(f) << 40,
                {{2, {{"red", 0.25f}}}, {5, {{"sedan", 0.125f}}}}});
  }
  GstBuffer *record_buffer = payload_buffer(50);
  gst_buffer_add_nvds_id_meta(record_buffer, new_id(9, 1600000000123, 4, 5));
  gst_buffer_add_dims_meta(record_buffer, new_dims(960, 540, 320, 180));

  for (GstBuffer *in : {batch_buffer, record_buffer}) {
    SCOPED_TRACE(in == batch_buffer ? "batch document" : "buffer-level document");
    const std::vector<guint8> payload = bytes_of(in);
    const std::string pipeline = "zarnnvmetamux savepath=" + hops[0] +
                                 " ! zarnnvmetademux ! zarnnvmetamux savepath=" + hops[1] +
                                 " ! zarnnvmetademux ! zarnnvmetamux savepath=" + hops[2] +
                                 " ! zarnnvmetademux";
    GstHarness *h = gst_harness_new_parse(pipeline.c_str());
    gst_harness_set_src_caps_str(h, "application/x-test");
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    gst_harness_teardown(h);
    EXPECT_EQ(bytes_of(out), payload);

    std::vector<std::string> documents;
    for (const std::string &hop : hops) {
      gchar *text = NULL;
      ASSERT_TRUE(g_file_get_contents(hop.c_str(), &text, NULL, NULL)) << hop;
      std::string line(text);
      g_free(text);
      ASSERT_GT(line.size(), 2u);
      ASSERT_EQ(line.substr(line.size() - 2), ",\n");
      std::vector<int64_t> times;
      documents.push_back(without_pipeline_time(line.substr(0, line.size() - 2), &times));
      EXPECT_EQ(times.size(), in == batch_buffer ? 2u : 1u) << hop;
      g_unlink(hop.c_str());
    }
    EXPECT_NE(documents[0].find("\"id\":"), std::string::npos);
    EXPECT_EQ(documents[1], documents[0]);
    EXPECT_EQ(documents[2], documents[0]);

    // A copy of the demuxed buffer holds copies of the frames' records.
    GstBuffer *copy = gst_buffer_copy(out);
    gst_buffer_unref(out);
    if (in == batch_buffer) {
      NvDsBatchMeta *copied = gst_buffer_get_nvds_batch_meta(copy);
      ASSERT_NE(copied, nullptr);
      auto *frame = nth<NvDsFrameMeta>(copied->frame_meta_list, 1);
      ASSERT_EQ(g_list_length(frame->frame_user_meta_list), 2u);
      auto *id = static_cast<NvDsMetaId *>(
          nth<NvDsUserMeta>(frame->frame_user_meta_list, 0)->user_meta_data);
      EXPECT_EQ(id->id, 8);
      EXPECT_EQ(id->received, 1600000000001);
    }
    EXPECT_EQ(document_of(copy).find("\"frames\":[{"), 1u);
    gst_buffer_unref(copy);
  }
  g_rmdir(dir.c_str());
}
