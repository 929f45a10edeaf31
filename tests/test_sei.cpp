// The SEI carrier: its bytes for both codecs and both framings, damaged
// messages, and the elements with carrier=sei.

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"
#include "plugin_env.h"
#include "zarncarrier.h"

using zarn::carrier::Found;
using zarn::carrier::Location;
using zarn::carrier::sei::Codec;
using zarn::carrier::sei::Stream;
using zarn_test::bytes_of;
using zarn_test::new_dims;
using zarn_test::new_id;
using Bytes = std::vector<guint8>;

namespace {

const auto *const register_plugins = ::testing::AddGlobalTestEnvironment(
    new zarn_test::RegisterPlugins(
        {gst_plugin_zarnnvmetamux_register, gst_plugin_zarnnvmetademux_register}));

// NAL units of one access unit, without start codes or lengths.
struct AccessUnit {
  std::vector<Bytes> before; // ahead of the first slice
  std::vector<Bytes> slices;
};

// AUD, SPS, PPS, an SEI of someone else's, then two slices (one with an
// emulation prevention byte of its own).
const AccessUnit kH264 = {
    {{0x09, 0x10},
     {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8},
     {0x68, 0xce, 0x3c, 0x80},
     {0x06, 0x05, 0x03, 0x01, 0x02, 0x03, 0x80}},
    {{0x65, 0x88, 0x84, 0x00, 0x00, 0x03, 0x00, 0x21, 0xff}, {0x41, 0x9a, 0x02, 0x7f}}};
// VPS, SPS, PPS, then a slice.
const AccessUnit kH265 = {{{0x40, 0x01, 0x0c, 0x01, 0xff, 0xff},
                           {0x42, 0x01, 0x01, 0x01, 0x60, 0x00},
                           {0x44, 0x01, 0xc1, 0x73}},
                          {{0x26, 0x01, 0xaf, 0x00, 0x00, 0x03, 0x01, 0x9c}}};

Bytes framed(const Bytes &nal, unsigned length_size) {
  Bytes out;
  if (length_size == 0) {
    out = {0, 0, 0, 1};
  } else {
    for (unsigned i = 0; i < length_size; ++i)
      out.push_back(static_cast<guint8>(nal.size() >> (8 * (length_size - 1 - i))));
  }
  out.insert(out.end(), nal.begin(), nal.end());
  return out;
}

Bytes join(const std::vector<Bytes> &nals, unsigned length_size) {
  Bytes out;
  for (const Bytes &nal : nals) {
    const Bytes f = framed(nal, length_size);
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

// The SEI NAL unit for `document`, written out as the standards say, one
// byte at a time.
Bytes sei_nal(Codec codec, const std::string &document) {
  Bytes rbsp = {5};
  std::size_t size = 16 + document.size();
  for (; size >= 255; size -= 255)
    rbsp.push_back(0xff);
  rbsp.push_back(static_cast<guint8>(size));
  rbsp.insert(rbsp.end(), zarn::carrier::sei::kUuid, zarn::carrier::sei::kUuid + 16);
  rbsp.insert(rbsp.end(), document.begin(), document.end());
  rbsp.push_back(0x80);
  Bytes nal = codec == Codec::kH264 ? Bytes{0x06} : Bytes{0x4e, 0x01};
  int zeros = 0;
  for (guint8 b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return nal;
}

GstBuffer *wrap(const Bytes &bytes) {
  if (bytes.empty())
    return gst_buffer_new();
  return gst_buffer_new_wrapped(g_memdup(bytes.data(), static_cast<guint>(bytes.size())),
                                bytes.size());
}

struct Form {
  const char *name;
  Codec codec;
  unsigned length_size;
};

const Form kForms[] = {
    {"h264 byte-stream", Codec::kH264, 0}, {"h264 avc", Codec::kH264, 4},
    {"h264 avc, 2-byte lengths", Codec::kH264, 2}, {"h265 byte-stream", Codec::kH265, 0},
    {"h265 hvc1", Codec::kH265, 4},
};

Stream stream_of(const Form &form) {
  Stream s;
  s.codec = form.codec;
  s.length_size = form.length_size;
  s.access_units = true;
  return s;
}

const AccessUnit &unit_of(const Form &form) {
  return form.codec == Codec::kH264 ? kH264 : kH265;
}

Bytes plain_unit(const Form &form) {
  const AccessUnit &au = unit_of(form);
  Bytes out = join(au.before, form.length_size);
  const Bytes slices = join(au.slices, form.length_size);
  out.insert(out.end(), slices.begin(), slices.end());
  return out;
}

// The access unit with the SEI NAL unit before its first slice.
Bytes carrying_unit(const Form &form, const std::string &document) {
  const AccessUnit &au = unit_of(form);
  std::vector<Bytes> nals = au.before;
  nals.push_back(sei_nal(form.codec, document));
  nals.insert(nals.end(), au.slices.begin(), au.slices.end());
  return join(nals, form.length_size);
}

std::string read_document(GstBuffer *buffer, const Stream &stream, Found *found) {
  Location where;
  const char *why = "";
  *found = zarn::carrier::sei::locate(buffer, stream, &where, &why);
  if (*found != Found::kOurs)
    return "";
  std::string document(where.length, '\0');
  EXPECT_TRUE(zarn::carrier::sei::read(buffer, where, &document[0]));
  return document;
}

TEST(SeiCarrier, BytesForEachCodecAndFraming) {
  const std::string documents[] = {
      "{\"frames\":[null]}",
      std::string(255 - 16 - 1, 'a'), // payload sizes 254, 255, 256: the 0xFF coding
      std::string(255 - 16, 'b'),
      std::string(255 - 16 + 1, 'c'),
      std::string(3000, 'd'),
      // Bytes a document never holds, but a carrier must not trip over.
      std::string("\0\0\0\0\x01\0\0\x02\0\0\x03\0", 12),
  };
  for (const Form &form : kForms) {
    for (const std::string &document : documents) {
      SCOPED_TRACE(std::string(form.name) + ", document of " +
                   std::to_string(document.size()) + " bytes");
      const Stream stream = stream_of(form);
      GstBuffer *in = wrap(plain_unit(form));
      GST_BUFFER_PTS(in) = 42;
      GST_BUFFER_FLAG_SET(in, GST_BUFFER_FLAG_DELTA_UNIT);
      GstBuffer *out = zarn::carrier::sei::attach(
          in, stream, document.data(), document.size(),
          static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS));
      ASSERT_NE(out, nullptr);
      EXPECT_EQ(bytes_of(out), carrying_unit(form, document));
      EXPECT_EQ(GST_BUFFER_PTS(out), 42u);
      EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(out, GST_BUFFER_FLAG_DELTA_UNIT));
      // The access unit's memory on either side of the new NAL unit is
      // shared, not copied.
      ASSERT_EQ(gst_buffer_n_memory(out), 3u);
      GstMemory *original = gst_buffer_peek_memory(in, 0);
      for (guint i : {0u, 2u}) {
        GstMemory *m = gst_buffer_peek_memory(out, i);
        EXPECT_TRUE(m == original || m->parent == original) << "block " << i;
      }

      Found found;
      EXPECT_EQ(read_document(out, stream, &found), document);
      EXPECT_EQ(found, Found::kOurs);
      Location where;
      const char *why = "";
      ASSERT_EQ(zarn::carrier::sei::locate(out, stream, &where, &why), Found::kOurs);
      out = gst_buffer_make_writable(out);
      zarn::carrier::sei::remove(out, where);
      EXPECT_EQ(bytes_of(out), plain_unit(form));
      gst_buffer_unref(out);
      gst_buffer_unref(in);
    }
  }
}

TEST(SeiCarrier, AnAccessUnitWithoutASliceGetsItAtTheEnd) {
  for (const Form &form : kForms) {
    SCOPED_TRACE(form.name);
    const AccessUnit &au = unit_of(form);
    GstBuffer *in = wrap(join(au.before, form.length_size));
    GstBuffer *out =
        zarn::carrier::sei::attach(in, stream_of(form), "{}", 2, GST_BUFFER_COPY_NONE);
    ASSERT_NE(out, nullptr);
    std::vector<Bytes> nals = au.before;
    nals.push_back(sei_nal(form.codec, "{}"));
    EXPECT_EQ(bytes_of(out), join(nals, form.length_size));
    gst_buffer_unref(out);
    gst_buffer_unref(in);
  }
}

TEST(SeiCarrier, ANalUnitTooLongForItsLengthIsNotWritten) {
  Stream stream = stream_of(kForms[2]); // 2-byte lengths
  GstBuffer *in = wrap(plain_unit(kForms[2]));
  const std::string big(70000, 'x');
  EXPECT_EQ(zarn::carrier::sei::attach(in, stream, big.data(), big.size(), GST_BUFFER_COPY_NONE),
            nullptr);
  gst_buffer_unref(in);
}

// Damage done to the carrying access unit, and what a reader must make of
// it: another message or none is no document; ours, broken, is damaged.
struct Damage {
  const char *name;
  Form form;
  void (*apply)(Bytes &au, std::size_t sei_at, std::size_t sei_size);
  Found expect;
};

const std::string kDoc = "{\"frames\":[{\"id\":1}]}";

const Damage kDamages[] = {
    {"another UUID", kForms[0],
     [](Bytes &au, std::size_t at, std::size_t) { au[at + 4 + 3] ^= 0x40; }, Found::kNone},
    {"another payload type", kForms[1],
     [](Bytes &au, std::size_t at, std::size_t) { au[at + 4 + 1] = 4; }, Found::kNone},
    {"NAL length cut inside the document", kForms[1],
     [](Bytes &au, std::size_t at, std::size_t) { au[at + 3] -= 8; }, Found::kDamaged},
    {"a start code inside the document", kForms[0],
     [](Bytes &au, std::size_t at, std::size_t) {
       const std::size_t doc = at + 4 + 3 + 16;
       au[doc + 2] = 0;
       au[doc + 3] = 0;
       au[doc + 4] = 1;
     },
     Found::kDamaged},
    {"00 00 02 inside the document", kForms[4],
     [](Bytes &au, std::size_t at, std::size_t) {
       const std::size_t doc = at + 4 + 2 + 2 + 16;
       au[doc + 2] = 0;
       au[doc + 3] = 0;
       au[doc + 4] = 2;
     },
     Found::kDamaged},
    {"no trailing bits", kForms[3],
     [](Bytes &au, std::size_t at, std::size_t size) { au[at + 4 + size - 1] = 0x81; },
     Found::kDamaged},
    {"a payload size smaller than the UUID", kForms[0],
     [](Bytes &au, std::size_t at, std::size_t) { au[at + 4 + 2] = 10; }, Found::kDamaged},
    {"a payload size past the NAL unit", kForms[1],
     [](Bytes &au, std::size_t at, std::size_t) { au[at + 4 + 2] += 40; }, Found::kDamaged},
    {"a second message after ours", kForms[1],
     [](Bytes &au, std::size_t at, std::size_t size) {
       au[at + 3] += 2;
       au.insert(au.begin() + static_cast<long>(at + 4 + size - 1), {0x80, 0x05});
     },
     Found::kDamaged},
};

TEST(SeiCarrier, DamagedMessages) {
  for (const Damage &d : kDamages) {
    SCOPED_TRACE(d.name);
    const AccessUnit &au = unit_of(d.form);
    Bytes bytes = carrying_unit(d.form, kDoc);
    const std::size_t at = join(au.before, d.form.length_size).size();
    const std::size_t size = sei_nal(d.form.codec, kDoc).size();
    d.apply(bytes, at, size);
    GstBuffer *buffer = wrap(bytes);
    Location where;
    const char *why = nullptr;
    EXPECT_EQ(zarn::carrier::sei::locate(buffer, stream_of(d.form), &where, &why), d.expect);
    if (d.expect == Found::kDamaged) {
      EXPECT_NE(why, nullptr);
    }

    // The demux passes it on as it came, with no metadata.
    GstHarness *h = gst_harness_new("zarnnvmetademux");
    gst_harness_set_src_caps_str(h, d.form.codec == Codec::kH264
                                        ? (d.form.length_size ? "video/x-h264,stream-format=avc"
                                                              : "video/x-h264")
                                        : (d.form.length_size ? "video/x-h265,stream-format=hvc1"
                                                              : "video/x-h265"));
    GstBuffer *out = gst_harness_push_and_pull(h, buffer);
    EXPECT_EQ(bytes_of(out), bytes);
    EXPECT_EQ(gst_buffer_get_nvds_meta(out), nullptr);
    gst_buffer_unref(out);
    gst_harness_teardown(h);
  }
}

// Every prefix of a carrying access unit: nothing read out of bounds (the
// sanitizer build checks), never a document that is not all there.
TEST(SeiCarrier, TruncatedAccessUnits) {
  for (const Form &form : kForms) {
    SCOPED_TRACE(form.name);
    const Bytes bytes = carrying_unit(form, kDoc);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      GstBuffer *buffer = wrap(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n)));
      Found found;
      const std::string document = read_document(buffer, stream_of(form), &found);
      if (found == Found::kOurs) {
        EXPECT_EQ(document, kDoc) << n << " bytes";
      }
      gst_buffer_unref(buffer);
    }
  }
}

TEST(SeiCarrier, StreamFromCaps) {
  struct Case {
    const char *caps;
    bool ok;
    Codec codec;
    unsigned length_size;
    bool access_units;
  };
  const Case cases[] = {
      {"video/x-h264,stream-format=byte-stream,alignment=au", true, Codec::kH264, 0, true},
      {"video/x-h264", true, Codec::kH264, 0, false},
      {"video/x-h264,stream-format=avc,alignment=au,codec_data=(buffer)0142c01effe1", true,
       Codec::kH264, 4, true},
      {"video/x-h264,stream-format=avc3,alignment=au,codec_data=(buffer)0142c01efd", true,
       Codec::kH264, 2, true},
      {"video/x-h264,stream-format=avc,alignment=nal", true, Codec::kH264, 4, false},
      {"video/x-h265,stream-format=hvc1,alignment=au,codec_data=(buffer)"
       "01016000000000000000000000f000fcfdf8f800000f",
       true, Codec::kH265, 4, true},
      {"video/x-h265,stream-format=hev1,alignment=au", true, Codec::kH265, 4, true},
      {"video/x-h264,stream-format=hvc1", false, Codec::kNone, 0, false},
      {"video/x-raw,format=I420", false, Codec::kNone, 0, false},
      {"application/x-rtp", false, Codec::kNone, 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.caps);
    GstCaps *caps = gst_caps_from_string(c.caps);
    ASSERT_NE(caps, nullptr);
    Stream s;
    EXPECT_EQ(zarn::carrier::sei::stream_from_caps(caps, &s), c.ok);
    EXPECT_EQ(s.codec, c.codec);
    EXPECT_EQ(s.length_size, c.length_size);
    EXPECT_EQ(s.access_units, c.access_units);
    gst_caps_unref(caps);
  }
}

struct Element {
  const char *caps;
  Form form;
};

const Element kElements[] = {
    {"video/x-h264,stream-format=byte-stream,alignment=au", kForms[0]},
    {"video/x-h264,stream-format=avc,alignment=au,codec_data=(buffer)0142c01effe1", kForms[1]},
    {"video/x-h264,stream-format=avc,alignment=au,codec_data=(buffer)0142c01efd", kForms[2]},
    {"video/x-h265,stream-format=byte-stream,alignment=au", kForms[3]},
    {"video/x-h265,stream-format=hvc1,alignment=au", kForms[4]},
};

GstBuffer *unit_with_records(const Form &form, int64_t id) {
  GstBuffer *in = wrap(plain_unit(form));
  gst_buffer_add_nvds_id_meta(in, new_id(id, 900, 11, 12));
  gst_buffer_add_dims_meta(in, new_dims(960, 540, 640, 360));
  return in;
}

// The restored identity and dimensions records, in attach order.
void expect_records(GstBuffer *buffer, int64_t id) {
  const std::vector<NvDsMeta *> metas = zarn_test::nvds_metas_in_attach_order(buffer);
  ASSERT_EQ(metas.size(), 2u);
  ASSERT_EQ(metas[0]->meta_type, NVDS_META_ID_TYPE);
  const auto *restored = static_cast<const NvDsMetaId *>(metas[0]->meta_data);
  EXPECT_EQ(restored->id, id);
  EXPECT_EQ(restored->received, 900);
  ASSERT_EQ(metas[1]->meta_type, NV_DIMS_TYPE);
  EXPECT_EQ(static_cast<const NvDims *>(metas[1]->meta_data)->end_width, 640);
}

TEST(SeiElements, MuxThenDemuxGivesTheAccessUnitAndRecordsBack) {
  for (const Element &e : kElements) {
    SCOPED_TRACE(e.caps);
    GstHarness *h = gst_harness_new_parse("zarnnvmetamux carrier=sei ! zarnnvmetademux");
    gst_harness_set_src_caps_str(h, e.caps);
    GstBuffer *out = gst_harness_push_and_pull(h, unit_with_records(e.form, 5));
    EXPECT_EQ(bytes_of(out), plain_unit(e.form));
    expect_records(out, 5);
    gst_buffer_unref(out);

    // Without metadata: an empty document, taken out again.
    out = gst_harness_push_and_pull(h, wrap(plain_unit(e.form)));
    EXPECT_EQ(bytes_of(out), plain_unit(e.form));
    EXPECT_EQ(gst_buffer_get_nvds_meta(out), nullptr);
    gst_buffer_unref(out);
    gst_harness_teardown(h);
  }
}

TEST(SeiElements, TheMuxWritesNoTrailer) {
  const Element &e = kElements[0];
  GstHarness *h = gst_harness_new_parse("zarnnvmetamux carrier=sei");
  gst_harness_set_src_caps_str(h, e.caps);
  GstBuffer *out = gst_harness_push_and_pull(h, unit_with_records(e.form, 9));
  const Bytes bytes = bytes_of(out);
  const Bytes plain = plain_unit(e.form);
  // Everything but one NAL unit before the first slice is the input's, and
  // the access unit ends as it did.
  const std::size_t before = join(kH264.before, 0).size();
  ASSERT_GT(bytes.size(), plain.size());
  EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + static_cast<long>(before), bytes.begin()));
  EXPECT_TRUE(std::equal(plain.begin() + static_cast<long>(before), plain.end(),
                         bytes.end() - static_cast<long>(plain.size() - before)));
  Found found;
  const std::string document = read_document(out, stream_of(e.form), &found);
  EXPECT_EQ(found, Found::kOurs);
  EXPECT_EQ(document.compare(0, 17, "{\"frames\":[{\"id\":"), 0) << document;
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

TEST(SeiElements, ARelayKeepsTheAccessUnitAndItsBlocks) {
  const Element &e = kElements[0];
  GstHarness *h = gst_harness_new_parse(
      "zarnnvmetamux carrier=sei ! zarnnvmetademux ! zarnnvmetamux carrier=sei ! "
      "zarnnvmetademux ! zarnnvmetamux carrier=sei ! zarnnvmetademux");
  gst_harness_set_src_caps_str(h, e.caps);
  GstBuffer *out = gst_harness_push_and_pull(h, unit_with_records(e.form, 77));
  EXPECT_EQ(bytes_of(out), plain_unit(e.form));
  expect_records(out, 77);
  // Hop after hop, the blocks around the SEI do not pile up.
  EXPECT_LE(gst_buffer_n_memory(out), 2u);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

// A caps event pushed by hand: the harness's own helper asserts that it is
// accepted.
void push_caps(GstHarness *h, const char *caps) {
  gst_harness_push_event(h, gst_event_new_stream_start("sei-test"));
  gst_harness_push_event(h, gst_event_new_caps(gst_caps_from_string(caps)));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_harness_push_event(h, gst_event_new_segment(&segment));
}

TEST(SeiElements, TheMuxRefusesWhatItCannotCarryInAnSei) {
  for (const char *caps : {"video/x-raw,format=I420,width=16,height=16",
                           "video/x-h264,stream-format=byte-stream,alignment=nal",
                           "video/x-h264,stream-format=byte-stream", "application/x-test"}) {
    SCOPED_TRACE(caps);
    GstHarness *h = gst_harness_new_parse("zarnnvmetamux carrier=sei");
    GstBus *bus = gst_bus_new();
    gst_element_set_bus(h->element, bus);
    push_caps(h, caps);
    GstMessage *error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    ASSERT_NE(error, nullptr);
    GError *gerror = NULL;
    gst_message_parse_error(error, &gerror, NULL);
    EXPECT_NE(std::string(gerror->message).find("carrier \"sei\" takes video/x-h264 or "
                                                 "video/x-h265 in access units"),
              std::string::npos)
        << gerror->message;
    g_error_free(gerror);
    gst_message_unref(error);
    // Nothing goes through, in particular no trailer.
    EXPECT_EQ(gst_harness_push(h, zarn_test::payload_buffer(16)), GST_FLOW_NOT_NEGOTIATED);
    EXPECT_EQ(gst_harness_buffers_in_queue(h), 0u);
    gst_element_set_bus(h->element, NULL);
    gst_object_unref(bus);
    gst_harness_teardown(h);
  }
}

TEST(SeiElements, TheCarrierProperty) {
  GstElement *mux = gst_element_factory_make("zarnnvmetamux", NULL);
  ASSERT_NE(mux, nullptr);
  GParamSpec *pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(mux), "carrier");
  ASSERT_NE(pspec, nullptr);
  ASSERT_TRUE(G_IS_PARAM_SPEC_ENUM(pspec));
  EXPECT_EQ(G_PARAM_SPEC_ENUM(pspec)->default_value, ZARN_CARRIER_TRAILER);
  EXPECT_TRUE(pspec->flags & GST_PARAM_MUTABLE_READY);
  GEnumClass *values = G_PARAM_SPEC_ENUM(pspec)->enum_class;
  ASSERT_NE(g_enum_get_value_by_nick(values, "trailer"), nullptr);
  ASSERT_NE(g_enum_get_value_by_nick(values, "sei"), nullptr);
  gst_util_set_object_arg(G_OBJECT(mux), "carrier", "sei");
  gint carrier = -1;
  g_object_get(mux, "carrier", &carrier, NULL);
  EXPECT_EQ(carrier, ZARN_CARRIER_SEI);
  gst_object_unref(mux);
}

// A demux after a stage that delivers H.264 without our SEI (or with the
// trailer, from a mux with the default carrier) still reads the trailer.
TEST(SeiElements, TheDemuxStillReadsATrailerOnH264Caps) {
  GstHarness *h = gst_harness_new_parse("zarnnvmetamux ! zarnnvmetademux");
  gst_harness_set_src_caps_str(h, kElements[0].caps);
  GstBuffer *out = gst_harness_push_and_pull(h, unit_with_records(kForms[0], 3));
  EXPECT_EQ(bytes_of(out), plain_unit(kForms[0]));
  expect_records(out, 3);
  gst_buffer_unref(out);
  gst_harness_teardown(h);
}

} // namespace
