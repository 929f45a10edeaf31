// The zarnnvmetamux element: element frame, trailer, buffer-level documents,
// timing and the document log file.

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

#include "debug_log.h"
#include "fixtures.h"
#include "glib_log_check.h"
#include "plugin_env.h"
#include "gstzarnnvmetamux.h"

using zarn_test::bytes_of;
using zarn_test::new_dims;
using zarn_test::new_id;
using zarn_test::payload_buffer;
using zarn_test::split_trailer;
using zarn_test::without_pipeline_time;

namespace {

const auto *const register_plugins = ::testing::AddGlobalTestEnvironment(
    new zarn_test::RegisterPlugins({gst_plugin_zarnnvmetamux_register}));

GstHarness *new_mux() {
  GstHarness *h = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  return h;
}

// Captures what the element prints through g_print.
std::string printed;
void capture_print(const gchar *text) { printed += text; }

class PrintCapture {
public:
  PrintCapture() : old_(g_set_print_handler(capture_print)) { printed.clear(); }
  ~PrintCapture() { g_set_print_handler(old_); }

private:
  GPrintFunc old_;
};

std::string temp_dir() {
  char templ[] = "/tmp/zarn-mux-XXXXXX";
  return g_mkdtemp(templ);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Pushes one buffer through a new mux and returns the document in the
// output's trailer, checking the payload came through unchanged.
std::string document_for(GstBuffer *buffer) {
  GstHarness *h = new_mux();
  const std::vector<guint8> payload = bytes_of(buffer);
  EXPECT_EQ(gst_harness_push(h, buffer), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  zarn_test::Trailer t = split_trailer(out);
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.payload, payload);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
  return t.document;
}

} // namespace

TEST(MuxElement, FactoryAndProperties) {
  GstElementFactory *factory = gst_element_factory_find("zarnnvmetamux");
  ASSERT_NE(factory, nullptr);
  EXPECT_STREQ(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME),
               "zarnNvMetaMux");
  EXPECT_STREQ(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS),
               "FIXME:Generic");
  EXPECT_STREQ(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_DESCRIPTION),
               "FIXME:Generic Template Element");
  EXPECT_EQ(gst_plugin_feature_get_rank(GST_PLUGIN_FEATURE(factory)),
            static_cast<guint>(GST_RANK_NONE));
  gst_object_unref(factory);

  const GstPluginDesc *desc = gst_plugin_zarnnvmetamux_get_desc();
  EXPECT_EQ(desc->major_version, 1);
  EXPECT_EQ(desc->minor_version, 14);
  EXPECT_STREQ(desc->name, "zarnnvmetamux");
  EXPECT_STREQ(desc->source, "myfirstzarnnvmetamux");

  GstElement *mux = gst_element_factory_make("zarnnvmetamux", NULL);
  ASSERT_NE(mux, nullptr);
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(mux), "GstzarnNvMetaMux");
  GParamSpec *silent = g_object_class_find_property(G_OBJECT_GET_CLASS(mux), "silent");
  GParamSpec *savepath = g_object_class_find_property(G_OBJECT_GET_CLASS(mux), "savepath");
  ASSERT_NE(silent, nullptr);
  ASSERT_NE(savepath, nullptr);
  EXPECT_STREQ(g_param_spec_get_nick(silent), "Silent");
  EXPECT_STREQ(g_param_spec_get_blurb(silent), "Produce verbose output ?");
  EXPECT_FALSE(g_value_get_boolean(g_param_spec_get_default_value(silent)));
  EXPECT_STREQ(g_param_spec_get_nick(savepath), "Savepath");
  EXPECT_STREQ(g_param_spec_get_blurb(savepath), "path to file for writing jsons");
  EXPECT_STREQ(g_value_get_string(g_param_spec_get_default_value(savepath)), "output.txt");
  for (GParamSpec *p : {silent, savepath}) {
    EXPECT_EQ(p->flags & (G_PARAM_READWRITE | G_PARAM_CONSTRUCT), G_PARAM_READWRITE);
    EXPECT_EQ(p->flags & G_PARAM_STATIC_STRINGS, G_PARAM_STATIC_STRINGS) << p->name;
  }
  {
    // An id the element does not know gets GObject's usual warning, which
    // the test main counts instead of failing on.
    zarn_test::GLibLogExpected expect;
    GValue value = G_VALUE_INIT;
    g_value_init(&value, G_TYPE_BOOLEAN);
    G_OBJECT_GET_CLASS(mux)->set_property(G_OBJECT(mux), 99, &value, silent);
    G_OBJECT_GET_CLASS(mux)->get_property(G_OBJECT(mux), 99, &value, silent);
    EXPECT_EQ(expect.seen(), 2);
    g_value_unset(&value);
  }
  GstPad *sink = gst_element_get_static_pad(mux, "sink");
  GstPad *src = gst_element_get_static_pad(mux, "src");
  ASSERT_NE(sink, nullptr);
  ASSERT_NE(src, nullptr);
  EXPECT_TRUE(GST_PAD_IS_PROXY_CAPS(sink));
  EXPECT_TRUE(GST_PAD_IS_PROXY_CAPS(src));
  gst_object_unref(sink);
  gst_object_unref(src);
  gst_object_unref(mux);
}

TEST(MuxElement, Stats) {
  GstHarness *h = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  auto push = [h](GstBuffer *in) {
    GstBuffer *out = gst_harness_push_and_pull(h, in);
    const guint64 length = zarn_test::split_trailer(out).document.size();
    gst_buffer_unref(out);
    return length;
  };
  guint64 bytes = 0;
  for (int i = 0; i < 2; i++) {
    GstBuffer *in = zarn_test::payload_buffer(8);
    gst_buffer_add_nvds_id_meta(in, zarn_test::new_id(i + 1));
    bytes += push(in);
  }
  EXPECT_GT(bytes, 0u);
  EXPECT_EQ(push(zarn_test::payload_buffer(8)), 0u); // no metadata: an empty trailer
  gst_buffer_unref(gst_harness_push_and_pull(h, gst_buffer_new()));

  GstStructure *stats = NULL;
  g_object_get(h->element, "stats", &stats, NULL);
  ASSERT_NE(stats, nullptr);
  guint64 buffers = 0, documents = 0, document_bytes = 0;
  EXPECT_TRUE(gst_structure_get_uint64(stats, "buffers", &buffers));
  EXPECT_TRUE(gst_structure_get_uint64(stats, "documents", &documents));
  EXPECT_TRUE(gst_structure_get_uint64(stats, "document-bytes", &document_bytes));
  EXPECT_EQ(buffers, 4u);
  EXPECT_EQ(documents, 2u);
  EXPECT_EQ(document_bytes, bytes);
  gst_structure_free(stats);
  gst_harness_teardown(h);
}

TEST(MuxElement, SavepathProperty) {
  GstElement *mux = gst_element_factory_make("zarnnvmetamux", NULL);
  gchar *value = NULL;
  g_object_get(mux, "savepath", &value, NULL);
  EXPECT_EQ(value, nullptr) << "the declared default is not applied to a new element";

  g_object_set(mux, "savepath", "/tmp/a.txt", NULL);
  g_object_get(mux, "savepath", &value, NULL);
  EXPECT_STREQ(value, "/tmp/a.txt");
  g_free(value);

  g_object_set(mux, "savepath", "/tmp/b.txt", NULL);
  g_object_get(mux, "savepath", &value, NULL);
  EXPECT_STREQ(value, "/tmp/b.txt");
  g_free(value);

  // NULL once a path is held: the empty path, which pauses logging.
  g_object_set(mux, "savepath", NULL, NULL);
  g_object_get(mux, "savepath", &value, NULL);
  EXPECT_STREQ(value, "");
  g_free(value);

  gboolean silent = TRUE;
  g_object_get(mux, "silent", &silent, NULL);
  EXPECT_FALSE(silent);
  g_object_set(mux, "silent", TRUE, NULL);
  g_object_get(mux, "silent", &silent, NULL);
  EXPECT_TRUE(silent);
  gst_object_unref(mux);

  // NULL on a new element: an empty path too.
  mux = gst_element_factory_make("zarnnvmetamux", NULL);
  g_object_set(mux, "savepath", NULL, NULL);
  g_object_get(mux, "savepath", &value, NULL);
  EXPECT_STREQ(value, "");
  g_free(value);
  gst_object_unref(mux);
}

TEST(MuxTrailer, PayloadDocumentAndLittleEndianLength) {
  GstBuffer *in = payload_buffer(100);
  const std::string doc(60, 'd');
  GstBuffer *out =
      add_json_to_buffer(in, reinterpret_cast<const unsigned char *>(doc.data()), 60);
  const std::vector<guint8> bytes = bytes_of(out);
  ASSERT_EQ(bytes.size(), 164u);
  EXPECT_EQ(std::vector<guint8>(bytes.begin(), bytes.begin() + 100), bytes_of(in));
  EXPECT_EQ(std::string(bytes.begin() + 100, bytes.begin() + 160), doc);
  EXPECT_EQ(std::vector<guint8>(bytes.begin() + 160, bytes.end()),
            (std::vector<guint8>{0x3C, 0x00, 0x00, 0x00}));
  gst_buffer_unref(out);
  gst_buffer_unref(in);
}

TEST(MuxChain, EmptyBufferPassesThroughUnchanged) {
  GstHarness *h = new_mux();
  GstBuffer *in = gst_buffer_new();
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  EXPECT_EQ(out, in);
  EXPECT_EQ(gst_buffer_get_size(out), 0u);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST(MuxChain, NoDeepStreamMetaGivesAnEmptyTrailerAndKeepsTiming) {
  GstHarness *h = new_mux();
  GstBuffer *in = payload_buffer(10);
  GST_BUFFER_PTS(in) = 5 * GST_SECOND;
  GST_BUFFER_DTS(in) = 4 * GST_SECOND;
  GST_BUFFER_DURATION(in) = GST_SECOND / 30;
  GST_BUFFER_OFFSET(in) = 150;
  GST_BUFFER_OFFSET_END(in) = 151;
  GST_BUFFER_FLAG_SET(in, GST_BUFFER_FLAG_DELTA_UNIT);
  GST_BUFFER_FLAG_SET(in, GST_BUFFER_FLAG_DISCONT);
  const std::vector<guint8> payload = bytes_of(in);
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);

  std::vector<guint8> expected = payload;
  expected.insert(expected.end(), {0, 0, 0, 0});
  EXPECT_EQ(bytes_of(out), expected);
  EXPECT_EQ(GST_BUFFER_PTS(out), GstClockTime(5 * GST_SECOND));
  EXPECT_EQ(GST_BUFFER_DTS(out), GstClockTime(4 * GST_SECOND));
  EXPECT_EQ(GST_BUFFER_DURATION(out), GstClockTime(GST_SECOND / 30));
  EXPECT_EQ(GST_BUFFER_OFFSET(out), 150u);
  EXPECT_EQ(GST_BUFFER_OFFSET_END(out), 151u);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DELTA_UNIT));
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DISCONT));
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST(MuxChain, RecordsAreNotCopiedToTheOutputBuffer) {
  GstHarness *h = new_mux();
  GstBuffer *in = payload_buffer(8);
  gst_buffer_add_nvds_id_meta(in, new_id(5, 900));
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  EXPECT_EQ(gst_buffer_get_nvds_meta(out), nullptr);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

// The payload is never copied: the output holds the input's memory blocks
// themselves and one more block with the document and its length.
TEST(MuxChain, PayloadBlocksAreSharedAndTheTrailerIsOneMoreBlock) {
  GstHarness *h = new_mux();
  GstBuffer *in = gst_buffer_new();
  std::vector<guint8> payload;
  for (gsize size : {3000, 17}) {
    GstBuffer *part = payload_buffer(size);
    const std::vector<guint8> bytes = bytes_of(part);
    payload.insert(payload.end(), bytes.begin(), bytes.end());
    gst_buffer_append_memory(in, gst_buffer_get_memory(part, 0));
    gst_buffer_unref(part);
  }
  gst_buffer_add_nvds_id_meta(in, new_id(5, 900));
  GST_BUFFER_PTS(in) = 77;
  GstMemory *blocks[2] = {gst_buffer_peek_memory(in, 0), gst_buffer_peek_memory(in, 1)};
  GstBuffer *keep = gst_buffer_ref(in);
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);

  ASSERT_EQ(gst_buffer_n_memory(out), 3u);
  EXPECT_EQ(gst_buffer_peek_memory(out, 0), blocks[0]);
  EXPECT_EQ(gst_buffer_peek_memory(out, 1), blocks[1]);
  EXPECT_EQ(GST_BUFFER_PTS(out), 77u);
  const zarn_test::Trailer t = split_trailer(out);
  ASSERT_TRUE(t.ok);
  EXPECT_EQ(t.payload, payload);
  EXPECT_EQ(gst_buffer_n_memory(out), 3u);
  EXPECT_EQ(gst_memory_get_sizes(gst_buffer_peek_memory(out, 2), NULL, NULL),
            t.document.size() + 4);
  std::vector<int64_t> times;
  EXPECT_EQ(without_pipeline_time(t.document, &times),
            "{\"frames\":[{\"id\":5,\"ts\":{\"pipeline_time\":P,\"received\":900}}]}");
  // The input is as it was.
  EXPECT_EQ(bytes_of(keep), payload);
  EXPECT_EQ(gst_buffer_n_memory(keep), 2u);
  gst_buffer_unref(keep);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST(MuxDocument, BufferLevelIdentityAndDimensions) {
  GstBuffer *in = payload_buffer(32);
  gst_buffer_add_nvds_id_meta(in, new_id(5, 900));
  gst_buffer_add_dims_meta(in, new_dims(960, 540, 0, 0));
  const int64_t before = getTs();
  const std::string doc = document_for(in);
  const int64_t after = getTs();

  std::vector<int64_t> times;
  EXPECT_EQ(without_pipeline_time(doc, &times),
            "{\"frames\":[{\"id\":5,\"resolution\":{\"src\":[960,540]},"
            "\"ts\":{\"pipeline_time\":P,\"received\":900}}]}");
  ASSERT_EQ(times.size(), 1u);
  EXPECT_GE(times[0], before - 900);
  EXPECT_LE(times[0], after - 900);
}

TEST(MuxDocument, NonBatchMetaWithoutRecordsGivesANullEntry) {
  GstBuffer *in = payload_buffer(8);
  int data = 1;
  NvDsMeta *other = gst_buffer_add_nvds_meta(in, &data, NULL, NULL, NULL);
  other->meta_type = NVDS_GST_CUSTOM_META + 77;
  EXPECT_EQ(document_for(in), "{\"frames\":[null]}");
}

TEST(MuxDocument, BufferLevelEntryMembers) {
  const int64_t now = getTs();
  struct Case {
    const char *name;
    NvDsMetaId *id;
    NvDims *dims;
    const char *entry; // "pipeline_time" replaced by P
  };
  const Case cases[] = {
      {"received 0, corrected 5", new_id(1, 0, 5), nullptr, "{\"id\":1,\"ts\":{\"corrected\":5}}"},
      {"all timestamps", new_id(-2, 7, 8, 9), nullptr,
       "{\"id\":-2,\"ts\":{\"corrected\":8,\"img_pts\":9,\"pipeline_time\":P,\"received\":7}}"},
      {"identity without timestamps", new_id(3), nullptr, "{\"id\":3}"},
      {"incomplete source pair", nullptr, new_dims(960, 0, 640, 360),
       "{\"resolution\":{\"mux\":[640,360]}}"},
      {"no complete pair", nullptr, new_dims(960, 0, 0, 360), "null"},
      {"both pairs", nullptr, new_dims(-1, 2, 3, 4), "{\"resolution\":{\"mux\":[3,4],\"src\":[-1,2]}}"},
      {"hostile received", new_id(4, std::numeric_limits<int64_t>::min()), nullptr,
       "{\"id\":4,\"ts\":{\"pipeline_time\":P,\"received\":-9223372036854775808}}"},
  };
  for (const Case &c : cases) {
    GstBuffer *buffer = payload_buffer(4);
    if (c.id)
      gst_buffer_add_nvds_id_meta(buffer, c.id);
    if (c.dims)
      gst_buffer_add_dims_meta(buffer, c.dims);
    std::vector<int64_t> times;
    EXPECT_EQ(without_pipeline_time(process_meta_from_buffer(buffer).dump(), &times), c.entry)
        << c.name;
    if (!times.empty() && c.id->received == 7) {
      EXPECT_GE(times[0], now - 7) << c.name;
    }
    gst_buffer_unref(buffer);
  }
}

TEST(MuxDocument, NewestRecordsWinWhenThereAreSeveral) {
  // What the demux leaves for a document of two entries: identity 1, dims,
  // identity 2, dims, in that order.
  GstBuffer *buffer = payload_buffer(4);
  gst_buffer_add_nvds_id_meta(buffer, new_id(1));
  gst_buffer_add_dims_meta(buffer, new_dims(10, 10, 0, 0));
  gst_buffer_add_nvds_id_meta(buffer, new_id(2));
  gst_buffer_add_dims_meta(buffer, new_dims(20, 20, 0, 0));
  EXPECT_EQ(process_meta_from_buffer(buffer).dump(),
            "{\"id\":2,\"resolution\":{\"src\":[20,20]}}");
  gst_buffer_unref(buffer);
}

TEST(MuxLogFile, OneLinePerDocumentAndOneOpen) {
  const std::string dir = temp_dir();
  const std::string path = dir + "/docs.txt";
  PrintCapture print;
  zarn_test::DebugLog log("zarnnvmetamux", GST_LEVEL_DEBUG);
  GstHarness *h = new_mux();
  g_object_set(h->element, "savepath", path.c_str(), NULL);
  std::string expected;
  for (int i = 0; i < 3; i++) {
    GstBuffer *in = payload_buffer(16);
    gst_buffer_add_nvds_id_meta(in, new_id(i, 0, 100 + i));
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    expected += split_trailer(out).document + ",\n";
    gst_buffer_unref(out);
  }
  EXPECT_EQ(read_file(path), expected);
  EXPECT_EQ(expected.substr(0, expected.find('\n')), "{\"frames\":[{\"id\":0,\"ts\":{\"corrected\":100}}]},");
  EXPECT_EQ(printed, "Open file!\n");
  // The element's debug category says the same, naming the element: the
  // file once, each document with its kind and size.
  const auto opened = log.find(GST_LEVEL_INFO, "document log file " + path + " opened");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(opened[0].names_object);
  const auto documents = log.find(GST_LEVEL_DEBUG, "buffer-level document, ");
  ASSERT_EQ(documents.size(), 3u);
  EXPECT_TRUE(documents[0].names_object);
  EXPECT_EQ(documents[0].text,
            "buffer-level document, " + std::to_string(expected.find(",\n")) + " bytes");
  gst_harness_teardown(h);
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST(MuxLogFile, KeepsTheOpenFileAcrossPathChangesAndPausesOnEmpty) {
  const std::string dir = temp_dir();
  const std::string first = dir + "/first.txt";
  const std::string second = dir + "/second.txt";
  PrintCapture print;
  GstHarness *h = new_mux();
  auto push_id = [&](int64_t id) {
    GstBuffer *in = payload_buffer(4);
    gst_buffer_add_nvds_id_meta(in, new_id(id));
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    gst_buffer_unref(gst_harness_pull(h));
  };
  g_object_set(h->element, "savepath", first.c_str(), NULL);
  push_id(1);
  g_object_set(h->element, "savepath", "", NULL);
  push_id(2);
  g_object_set(h->element, "savepath", second.c_str(), NULL);
  push_id(3);
  EXPECT_EQ(read_file(first), "{\"frames\":[{\"id\":1}]},\n{\"frames\":[{\"id\":3}]},\n");
  EXPECT_FALSE(file_exists(second));
  EXPECT_EQ(printed, "Open file!\n");
  gst_harness_teardown(h);
  unlink(first.c_str());
  rmdir(dir.c_str());
}

TEST(MuxLogFile, MissingDirectoryIsReportedPerBufferAndBuffersFlow) {
  PrintCapture print;
  zarn_test::DebugLog log("zarnnvmetamux", GST_LEVEL_WARNING);
  GstHarness *h = new_mux();
  g_object_set(h->element, "savepath", "/nonexistent-zarn-dir/docs.txt", NULL);
  for (int i = 0; i < 3; i++) {
    GstBuffer *in = payload_buffer(16);
    gst_buffer_add_nvds_id_meta(in, new_id(i));
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    EXPECT_EQ(split_trailer(out).document, "{\"frames\":[{\"id\":" + std::to_string(i) + "}]}");
    gst_buffer_unref(out);
  }
  EXPECT_EQ(printed, "Failed to open file!\nFailed to open file!\nFailed to open file!\n");
  EXPECT_EQ(log.find(GST_LEVEL_WARNING, "cannot open the document log file "
                                        "/nonexistent-zarn-dir/docs.txt: No such file")
                .size(),
            3u);
  gst_harness_teardown(h);
}

TEST(MuxLogFile, NoFileWithoutDeepStreamMetaOrPath) {
  const std::string dir = temp_dir();
  const std::string path = dir + "/docs.txt";
  PrintCapture print;
  GstHarness *h = new_mux();
  // No path yet: a buffer with metadata writes nothing.
  GstBuffer *with_meta = payload_buffer(4);
  gst_buffer_add_nvds_id_meta(with_meta, new_id(1));
  ASSERT_EQ(gst_harness_push(h, with_meta), GST_FLOW_OK);
  g_object_set(h->element, "savepath", path.c_str(), NULL);
  ASSERT_EQ(gst_harness_push(h, payload_buffer(4)), GST_FLOW_OK);
  ASSERT_EQ(gst_harness_push(h, gst_buffer_new()), GST_FLOW_OK);
  EXPECT_EQ(gst_harness_buffers_received(h), 3u);
  EXPECT_FALSE(file_exists(path));
  EXPECT_EQ(printed, "");
  gst_harness_teardown(h);
  rmdir(dir.c_str());
}
