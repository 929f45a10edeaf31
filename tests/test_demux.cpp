// The zarnnvmetademux element: trailer reader, hostile trailers and
// documents, identity and dimensions restoration, utilities, and the round
// trip through the mux.

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "fixtures.h"
#include "plugin_env.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"

using zarn_test::bytes_of;
using zarn_test::muxed_buffer;
using zarn_test::new_dims;
using zarn_test::new_id;
using zarn_test::nvds_metas_in_attach_order;
using zarn_test::payload_buffer;
using zarn_test::split_trailer;
using zarn_test::without_pipeline_time;

namespace {

const auto *const register_plugins = ::testing::AddGlobalTestEnvironment(
    new zarn_test::RegisterPlugins(
        {gst_plugin_zarnnvmetamux_register, gst_plugin_zarnnvmetademux_register}));

const std::vector<guint8> kPayload = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

// Runs one buffer through a new demux and returns what came out.
GstBuffer *demux(GstBuffer *in) {
  GstHarness *h = gst_harness_new("zarnnvmetademux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  EXPECT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  gst_harness_teardown(h);
  return out;
}

GstBuffer *demux_document(const std::string &document) {
  return demux(muxed_buffer(kPayload, document));
}

// A restored record pair, or a lone record, for comparing with a table.
struct Record {
  char kind; // 'i' identity, 'd' dimensions
  int64_t a, b, c, d;
  bool operator==(const Record &o) const {
    return kind == o.kind && a == o.a && b == o.b && c == o.c && d == o.d;
  }
};

std::ostream &operator<<(std::ostream &os, const Record &r) {
  return os << r.kind << "(" << r.a << "," << r.b << "," << r.c << "," << r.d << ")";
}

// The records on a buffer in attach order: identity as (id, received,
// corrected, img_pts), dimensions as (start w, start h, end w, end h).
std::vector<Record> records_of(GstBuffer *buffer) {
  std::vector<Record> out;
  for (NvDsMeta *meta : nvds_metas_in_attach_order(buffer)) {
    if (meta->meta_type == NVDS_META_ID_TYPE) {
      auto *id = static_cast<NvDsMetaId *>(meta->meta_data);
      out.push_back({'i', id->id, id->received, id->corrected, id->img_pts});
    } else if (meta->meta_type == NV_DIMS_TYPE) {
      auto *dims = static_cast<NvDims *>(meta->meta_data);
      out.push_back({'d', dims->start_width, dims->start_height, dims->end_width,
                     dims->end_height});
    } else {
      out.push_back({'?', meta->meta_type, 0, 0, 0});
    }
  }
  return out;
}

} // namespace

TEST(DemuxElement, FactoryAndProperty) {
  GstElementFactory *factory = gst_element_factory_find("zarnnvmetademux");
  ASSERT_NE(factory, nullptr);
  EXPECT_STREQ(gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_LONGNAME),
               "zarnnvmetademux");
  gst_object_unref(factory);
  const GstPluginDesc *desc = gst_plugin_zarnnvmetademux_get_desc();
  EXPECT_EQ(desc->minor_version, 14);
  EXPECT_STREQ(desc->source, "myfirstzarnnvmetademux");

  GstElement *demux = gst_element_factory_make("zarnnvmetademux", NULL);
  ASSERT_NE(demux, nullptr);
  EXPECT_STREQ(G_OBJECT_TYPE_NAME(demux), "Gstzarnnvmetademux");
  GParamSpec *silent = g_object_class_find_property(G_OBJECT_GET_CLASS(demux), "silent");
  ASSERT_NE(silent, nullptr);
  EXPECT_STREQ(g_param_spec_get_nick(silent), "Silent");
  EXPECT_STREQ(g_param_spec_get_blurb(silent), "Produce verbose output ?");
  gboolean value = TRUE;
  g_object_get(demux, "silent", &value, NULL);
  EXPECT_FALSE(value);
  gst_object_unref(demux);
}

// The demux's output is its input less the trailer: like identity, it lets
// upstream ask downstream for its allocator. The mux does not: upstream
// would then attach layout metas that the byte stage cannot carry.
// What the application gets without reading the log: counters in "stats",
// and a warning on the bus for the first refused document, then at most one
// a second while refusals go on.
TEST(DemuxElement, StatsAndABusWarningForRefusedDocuments) {
  GstHarness *h = gst_harness_new("zarnnvmetademux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  GstBus *bus = gst_bus_new();
  gst_element_set_bus(h->element, bus);
  auto warnings = [bus] {
    guint n = 0;
    while (GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING)) {
      n++;
      gst_message_unref(m);
    }
    return n;
  };
  auto push = [h](GstBuffer *in) { gst_buffer_unref(gst_harness_push_and_pull(h, in)); };

  push(muxed_buffer(kPayload, R"({"frames":[{"id":1}]})"));
  push(muxed_buffer(kPayload, ""));                           // an empty trailer
  push(gst_buffer_new_wrapped(g_memdup("ab", 2), 2));         // no trailer
  for (int i = 0; i < 3; i++)
    push(muxed_buffer(kPayload, "{\"frames\":[{\"id\":1}"));  // refused
  EXPECT_EQ(warnings(), 1u);

  GstStructure *stats = NULL;
  g_object_get(h->element, "stats", &stats, NULL);
  ASSERT_NE(stats, nullptr);
  const struct {
    const char *field;
    guint64 value;
  } expected[] = {{"buffers", 6}, {"restored", 1}, {"untouched", 4}, {"refused", 3}};
  for (const auto &e : expected) {
    guint64 value = G_MAXUINT64;
    EXPECT_TRUE(gst_structure_get_uint64(stats, e.field, &value)) << e.field;
    EXPECT_EQ(value, e.value) << e.field;
  }
  gst_structure_free(stats);

  // A second later, refusals that go on are posted again, once.
  g_usleep(1100 * 1000);
  push(muxed_buffer(kPayload, "not json"));
  push(muxed_buffer(kPayload, "not json"));
  EXPECT_EQ(warnings(), 1u);

  gst_element_set_bus(h->element, NULL);
  gst_object_unref(bus);
  gst_harness_teardown(h);
}

TEST(DemuxElement, TheAllocationQueryGoesThroughTheDemuxOnly) {
  for (const char *factory : {"zarnnvmetademux", "zarnnvmetamux"}) {
    SCOPED_TRACE(factory);
    const bool demux = std::string(factory) == "zarnnvmetademux";
    GstHarness *h = gst_harness_new(factory);
    gst_harness_set_src_caps_str(h, "video/x-raw,format=RGBA,width=16,height=16");
    GstAllocationParams params;
    gst_allocation_params_init(&params);
    params.align = 255;
    GstAllocator *allocator = gst_allocator_find(NULL);
    gst_harness_set_propose_allocator(h, allocator, &params);
    GstCaps *caps = gst_caps_from_string("video/x-raw,format=RGBA,width=16,height=16");
    GstQuery *query = gst_query_new_allocation(caps, TRUE);
    EXPECT_EQ(gst_pad_peer_query(h->srcpad, query), demux ? TRUE : FALSE);
    if (demux) {
      ASSERT_EQ(gst_query_get_n_allocation_params(query), 1u);
      GstAllocator *offered = NULL;
      GstAllocationParams got;
      gst_query_parse_nth_allocation_param(query, 0, &offered, &got);
      EXPECT_EQ(offered, allocator);
      EXPECT_EQ(got.align, 255u);
      if (offered)
        gst_object_unref(offered);
    }
    gst_query_unref(query);
    gst_caps_unref(caps);
    gst_harness_teardown(h);
  }
}

TEST(DemuxTrailer, CutsTheTrailerAndHandsTheDocumentOn) {
  // 100 payload bytes and a 60-byte document: 164 bytes ending in 3C 00 00 00.
  std::string document = "{\"frames\":[{\"id\":5,\"ts\":{\"received\":900}}]}";
  document.resize(60, ' ');
  const std::vector<guint8> payload = bytes_of(payload_buffer(100));
  GstBuffer *in = muxed_buffer(payload, document);
  ASSERT_EQ(gst_buffer_get_size(in), 164u);
  GST_BUFFER_PTS(in) = 42;
  GST_BUFFER_FLAG_SET(in, GST_BUFFER_FLAG_DELTA_UNIT);
  GstBuffer *out = demux(in);
  EXPECT_EQ(bytes_of(out), payload);
  EXPECT_EQ(GST_BUFFER_PTS(out), 42u);
  EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DELTA_UNIT));
  EXPECT_EQ(records_of(out), (std::vector<Record>{{'i', 5, 900, 0, 0}, {'d', 0, 0, 0, 0}}));
  gst_buffer_unref(out);
}

TEST(DemuxTrailer, ExtractAndTrim) {
  GstBuffer *buffer = muxed_buffer(kPayload, "{}");
  unsigned int length = 99;
  unsigned char *document = extract_json_from_buffer(buffer, &length);
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(document), length), "{}");
  delete[] document;
  trim_buffer(buffer, length + 4);
  EXPECT_EQ(bytes_of(buffer), kPayload);
  // Nothing would be left, or less than nothing: the buffer stays.
  trim_buffer(buffer, 10);
  trim_buffer(buffer, 11);
  EXPECT_EQ(gst_buffer_get_size(buffer), 10u);
  // No valid trailer: NULL and the length untouched.
  length = 7;
  EXPECT_EQ(extract_json_from_buffer(buffer, &length), nullptr);
  EXPECT_EQ(length, 7u);
  gst_buffer_unref(buffer);
}

// What each kind of damaged or hostile trailer does to the buffer: passed on
// untouched (size kept), or trimmed to its payload, with no metadata.
TEST(DemuxTrailer, HostileTrailers) {
  struct Case {
    const char *name;
    std::vector<guint8> bytes;
    std::size_t size_after;
  };
  auto with_length = [](std::size_t size, std::uint32_t l) {
    std::vector<guint8> bytes(size, '{');
    zarn::write_trailer_length(bytes.data() + size - 4, l);
    return bytes;
  };
  const Case cases[] = {
      {"1 byte", {0x01}, 1},
      {"3 bytes", {0x00, 0x00, 0x00}, 3},
      {"4 zero bytes: L = 0 and nothing left", {0, 0, 0, 0}, 4},
      {"L = 0", with_length(14, 0), 10},
      {"L = size - 3", with_length(14, 11), 14},
      {"L = size - 4: the whole buffer is the trailer", with_length(14, 10), 14},
      {"L = 2^32 - 1", with_length(14, 0xFFFFFFFFu), 14},
      {"L = 2^32 - 4", with_length(14, 0xFFFFFFFCu), 14},
  };
  for (const Case &c : cases) {
    GstBuffer *in = gst_buffer_new_wrapped(g_memdup(c.bytes.data(), c.bytes.size()),
                                           c.bytes.size());
    GstBuffer *out = demux(in);
    const std::vector<guint8> bytes = bytes_of(out);
    EXPECT_EQ(bytes.size(), c.size_after) << c.name;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), c.bytes.begin())) << c.name;
    EXPECT_EQ(gst_buffer_get_nvds_meta(out), nullptr) << c.name;
    gst_buffer_unref(out);
  }
  GstBuffer *empty = demux(gst_buffer_new());
  EXPECT_EQ(gst_buffer_get_size(empty), 0u);
  gst_buffer_unref(empty);
}

// The document is read block by block; the payload's blocks stay as they
// are, never merged into one.
TEST(DemuxTrailer, BlocksAreNotMergedAndADocumentMayCrossThem) {
  const std::string document = "{\"frames\":[{\"id\":5,\"ts\":{\"received\":900}}]}";
  GstBuffer *whole = muxed_buffer(kPayload, document);
  const std::vector<guint8> bytes = bytes_of(whole);
  gst_buffer_unref(whole);
  // payload 6 + 4 bytes | document 9 bytes | the rest of the document and its length
  GstBuffer *in = gst_buffer_new();
  const std::size_t cuts[] = {0, 6, kPayload.size(), kPayload.size() + 9, bytes.size()};
  for (int i = 0; i < 4; i++) {
    const std::size_t n = cuts[i + 1] - cuts[i];
    gpointer block = g_memdup(bytes.data() + cuts[i], n);
    gst_buffer_append_memory(in, gst_memory_new_wrapped(static_cast<GstMemoryFlags>(0), block,
                                                        n, 0, n, block, g_free));
  }
  GstMemory *payload_blocks[2] = {gst_buffer_peek_memory(in, 0), gst_buffer_peek_memory(in, 1)};
  GstBuffer *out = demux(in);
  ASSERT_EQ(gst_buffer_n_memory(out), 2u);
  EXPECT_EQ(gst_buffer_peek_memory(out, 0), payload_blocks[0]);
  EXPECT_EQ(gst_buffer_peek_memory(out, 1), payload_blocks[1]);
  EXPECT_EQ(bytes_of(out), kPayload);
  EXPECT_EQ(records_of(out), (std::vector<Record>{{'i', 5, 900, 0, 0}, {'d', 0, 0, 0, 0}}));
  gst_buffer_unref(out);
}

TEST(DemuxTrailer, SharedBufferIsCopiedNotChanged) {
  GstBuffer *in = muxed_buffer(kPayload, "{\"frames\":[{\"id\":1}]}");
  const std::vector<guint8> original = bytes_of(in);
  GstBuffer *keep = gst_buffer_ref(in);
  GstBuffer *out = demux(in);
  EXPECT_NE(out, keep);
  EXPECT_EQ(bytes_of(out), kPayload);
  EXPECT_EQ(get_id_from_id_meta(out), 0); // the dimensions record is on top
  EXPECT_EQ(records_of(out).size(), 2u);
  EXPECT_EQ(bytes_of(keep), original);
  EXPECT_EQ(gst_buffer_get_nvds_meta(keep), nullptr);
  gst_buffer_unref(out);
  gst_buffer_unref(keep);
}

// Every document is cut off the payload; what it restores depends on its
// content.
TEST(DemuxDocument, RestoredRecords) {
  using R = std::vector<Record>;
  const Record zero_dims{'d', 0, 0, 0, 0};
  struct Case {
    const char *name;
    std::string document;
    R records;
    bool refused = false; // the buffer then goes on as it arrived
  };
  const Case cases[] = {
      {"identity with timestamps", "{\"frames\":[{\"id\":5,\"ts\":{\"received\":900,\"pipeline_time\":35}}]}",
       {{'i', 5, 900, 0, 0}, zero_dims}},
      {"all members",
       "{\"frames\":[{\"id\":-7,\"resolution\":{\"mux\":[640,360],\"src\":[960,540]},"
       "\"ts\":{\"corrected\":3,\"img_pts\":4,\"received\":2}}]}",
       {{'i', -7, 2, 3, 4}, {'d', 960, 540, 640, 360}}},
      {"two entries", "{\"frames\":[{\"id\":1},{\"id\":2}]}",
       {{'i', 1, 0, 0, 0}, zero_dims, {'i', 2, 0, 0, 0}, zero_dims}},
      {"no frames", "{\"frames\":[]}", {}},
      {"source only", "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[960,540]}}]}",
       {{'i', 1, 0, 0, 0}, {'d', 960, 540, 0, 0}}},
      {"src not an array", "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":\"960x540\"}}]}",
       {{'i', 1, 0, 0, 0}, zero_dims}},
      {"short and mixed pairs",
       "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[960],\"mux\":[\"a\",360]}}]}",
       {{'i', 1, 0, 0, 0}, {'d', 960, 0, 0, 360}}},
      {"32-bit dimensions", "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[4294967301,4294967295]}}]}",
       {{'i', 1, 0, 0, 0}, {'d', 5, -1, 0, 0}}},
      {"fractions cut toward zero", "{\"frames\":[{\"id\":5.9,\"ts\":{\"received\":-2.7}}]}",
       {{'i', 5, -2, 0, 0}, zero_dims}},
      {"unsigned above 2^63", "{\"frames\":[{\"id\":18446744073709551615}]}",
       {{'i', -1, 0, 0, 0}, zero_dims}},
      {"float beyond 64 bits saturates", "{\"frames\":[{\"id\":1e300,\"ts\":{\"received\":-1e300}}]}",
       {{'i', std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(), 0, 0},
        zero_dims}},
      {"id of the wrong type: dimensions only",
       "{\"frames\":[{\"id\":\"5\",\"resolution\":{\"mux\":[1,2]}}]}", {{'d', 0, 0, 1, 2}}},
      {"null id", "{\"frames\":[{\"id\":null}]}", {zero_dims}},
      {"null timestamps keep 0", "{\"frames\":[{\"id\":3,\"ts\":{\"received\":null,\"corrected\":true}}]}",
       {{'i', 3, 0, 0, 0}, zero_dims}},
      {"ts not an object", "{\"frames\":[{\"id\":3,\"ts\":[1,2]}]}", {{'i', 3, 0, 0, 0}, zero_dims}},
      {"null and non-object entries", "{\"frames\":[null,7,\"x\",[],{\"id\":4}]}",
       {{'i', 4, 0, 0, 0}, zero_dims}},
      {"byte order mark and white space", "\xEF\xBB\xBF  {\"frames\":[{\"id\":9}]} \n",
       {{'i', 9, 0, 0, 0}, zero_dims}},
      {"not JSON", "not json at all", {}, true},
      {"trailing garbage", "{\"frames\":[{\"id\":1}]}x", {}, true},
      {"comment", "{\"frames\":[{\"id\":1}]}/* c */", {}, true},
      {"truncated", "{\"frames\":[{\"id\":1}", {}, true},
      {"no frames member", "{\"frame\":[{\"id\":1}]}", {}},
      {"frames not an array", "{\"frames\":{\"id\":1}}", {}},
      {"root not an object", "[{\"frames\":[]}]", {}},
      {"invalid UTF-8 in a string", "{\"frames\":[{\"id\":1,\"x\":\"\xC3\x28\"}]}", {}, true},
      {"NUL inside the document", std::string("{\"frames\":[{\"id\":1}]}\0", 22), {}, true},
  };
  for (const Case &c : cases) {
    GstBuffer *out = demux_document(c.document);
    if (c.refused) {
      GstBuffer *in = muxed_buffer(kPayload, c.document);
      EXPECT_EQ(bytes_of(out), bytes_of(in)) << c.name;
      gst_buffer_unref(in);
    } else {
      EXPECT_EQ(bytes_of(out), kPayload) << c.name;
    }
    EXPECT_EQ(records_of(out), c.records) << c.name;
    gst_buffer_unref(out);
  }
}

// The SDK's downstream elements trust the batch's size and count; a batch
// rebuilt from a document of four frames says four, in document order.
TEST(DemuxDocument, ARebuiltBatchIsAsLargeAsItsDocument) {
  GstBuffer *out = demux_document(
      R"({"frames":[{"frame_num":10,"objects":[]},{"frame_num":11,"objects":[]},)"
      R"({"frame_num":12,"objects":[]},{"frame_num":13,"objects":[]}]})");
  EXPECT_EQ(bytes_of(out), kPayload);
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(out);
  ASSERT_NE(batch, nullptr);
  EXPECT_EQ(batch->max_frames_in_batch, 4u);
  EXPECT_EQ(batch->num_frames_in_batch, 4u);
  ASSERT_EQ(g_list_length(batch->frame_meta_list), 4u);
  gint expected = 10;
  for (GList *l = batch->frame_meta_list; l; l = l->next)
    EXPECT_EQ(static_cast<NvDsFrameMeta *>(l->data)->frame_num, expected++);
  gst_buffer_unref(out);
}

// The frame records of a rebuilt batch are user metas whose callbacks the
// SDK calls with the user meta itself: a copy of the buffer copies them, and
// each buffer frees its own.
TEST(DemuxDocument, ARebuiltBatchIsCopiedWithItsRecords) {
  GstBuffer *out = demux_document(
      R"({"frames":[{"frame_num":1,"id":77,"objects":[],"resolution":{"src":[960,540]}}]})");
  ASSERT_NE(gst_buffer_get_nvds_batch_meta(out), nullptr);
  GstBuffer *copy = gst_buffer_copy(out);
  ASSERT_NE(gst_buffer_get_nvds_batch_meta(copy), nullptr);
  EXPECT_NE(gst_buffer_get_nvds_batch_meta(copy), gst_buffer_get_nvds_batch_meta(out));
  ASSERT_NE(gst_buffer_get_nvds_id_meta(copy), nullptr);
  EXPECT_NE(gst_buffer_get_nvds_id_meta(copy), gst_buffer_get_nvds_id_meta(out));
  gst_buffer_unref(out);
  EXPECT_EQ(get_id_from_id_meta(copy), 77);
  ASSERT_NE(gst_buffer_get_dims_meta(copy), nullptr);
  EXPECT_EQ(gst_buffer_get_dims_meta(copy)->start_width, 960);
  gst_buffer_unref(copy);
}

TEST(DemuxDocument, LookupsSeeTheLastAttachedRecord) {
  GstBuffer *one = demux_document("{\"frames\":[{\"id\":5,\"resolution\":{\"src\":[960,540]}}]}");
  ASSERT_NE(gst_buffer_get_dims_meta(one), nullptr);
  EXPECT_EQ(gst_buffer_get_dims_meta(one)->start_width, 960);
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(one), nullptr);
  gst_buffer_unref(one);

  GstBuffer *several = demux_document(
      "{\"frames\":[{\"id\":1,\"resolution\":{\"src\":[1,1]}},{\"id\":2,\"resolution\":{\"src\":[2,2]}}]}");
  ASSERT_NE(gst_buffer_get_dims_meta(several), nullptr);
  EXPECT_EQ(gst_buffer_get_dims_meta(several)->start_width, 2);
  // Each record is an allocation of its own.
  const std::vector<NvDsMeta *> metas = nvds_metas_in_attach_order(several);
  ASSERT_EQ(metas.size(), 4u);
  EXPECT_NE(metas[0]->meta_data, metas[2]->meta_data);
  gst_buffer_unref(several);
}

TEST(DemuxUtils, Split) {
  struct Case {
    const char *text;
    bool result;
    int32_t first, second;
  };
  const Case cases[] = {
      {"640x480", true, 640, 480}, {"640", false, -1, -1}, {"x5", true, 0, 5},
      {"1x2x3", true, 1, 2},       {"12abcx 7", true, 12, 7}, {"-3x+4", true, -3, 4},
      {"x", true, 0, 0},
  };
  for (const Case &c : cases) {
    int32_t first = -1, second = -1;
    EXPECT_EQ(split(c.text, &second, &first), c.result) << c.text;
    EXPECT_EQ(first, c.first) << c.text;
    EXPECT_EQ(second, c.second) << c.text;
  }
  int32_t first = 0, second = 0;
  EXPECT_THROW(split("abcx5", &second, &first), std::invalid_argument);
  EXPECT_THROW(split("5xabc", &second, &first), std::invalid_argument);
  EXPECT_THROW(split("99999999999x1", &second, &first), std::out_of_range);
}

TEST(DemuxUtils, BuffercpyStaysInsideTheDestination) {
  GstBuffer *source = payload_buffer(16);
  GstBuffer *big = gst_buffer_new_allocate(NULL, 20, NULL);
  gst_buffer_memset(big, 0, 0xEE, 20);
  buffercpy(big, source);
  std::vector<guint8> expected = bytes_of(source);
  expected.resize(20, 0xEE);
  EXPECT_EQ(bytes_of(big), expected);

  GstBuffer *small = gst_buffer_new_allocate(NULL, 8, NULL);
  buffercpy(small, source);
  EXPECT_EQ(bytes_of(small), std::vector<guint8>(expected.begin(), expected.begin() + 8));
  for (GstBuffer *b : {source, big, small})
    gst_buffer_unref(b);
}

TEST(RoundTrip, MuxThenDemuxGivesPayloadAndRecordsBack) {
  GstHarness *h = gst_harness_new_parse("zarnnvmetamux ! zarnnvmetademux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  GstBuffer *in = payload_buffer(1000);
  GST_BUFFER_PTS(in) = 7 * GST_SECOND;
  const std::vector<guint8> payload = bytes_of(in);
  gst_buffer_add_nvds_id_meta(in, new_id(5, 900, 11, 12));
  gst_buffer_add_dims_meta(in, new_dims(960, 540, 640, 360));
  ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(h);
  EXPECT_EQ(bytes_of(out), payload);
  EXPECT_EQ(GST_BUFFER_PTS(out), GstClockTime(7 * GST_SECOND));
  EXPECT_EQ(records_of(out),
            (std::vector<Record>{{'i', 5, 900, 11, 12}, {'d', 960, 540, 640, 360}}));

  // A buffer without metadata comes back without metadata.
  ASSERT_EQ(gst_harness_push(h, payload_buffer(50)), GST_FLOW_OK);
  GstBuffer *plain = gst_harness_pull(h);
  EXPECT_EQ(bytes_of(plain), bytes_of(payload_buffer(50)));
  EXPECT_EQ(gst_buffer_get_nvds_meta(plain), nullptr);
  gst_buffer_unref(plain);
  gst_harness_teardown(h);

  // The mux run again on the restored buffer writes the same members with a
  // new "pipeline_time".
  GstHarness *again = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(again, "application/x-test");
  const int64_t before = getTs();
  ASSERT_EQ(gst_harness_push(again, out), GST_FLOW_OK);
  GstBuffer *remuxed = gst_harness_pull(again);
  std::vector<int64_t> times;
  EXPECT_EQ(without_pipeline_time(split_trailer(remuxed).document, &times),
            "{\"frames\":[{\"id\":5,\"resolution\":{\"mux\":[640,360],\"src\":[960,540]},"
            "\"ts\":{\"corrected\":11,\"img_pts\":12,\"pipeline_time\":P,\"received\":900}}]}");
  ASSERT_EQ(times.size(), 1u);
  EXPECT_GE(times[0], before - 900);
  gst_buffer_unref(remuxed);
  gst_harness_teardown(again);
}
