// The demux element on arbitrary H.264 and H.265 access units: the SEI
// carrier's NAL walk, unescaping and removal, then the reader. The first
// byte picks the stream's form.

#include <gst/check/gstharness.h>

#include "fuzz_common.h"

static const char *const kCaps[] = {
    "video/x-h264,stream-format=byte-stream,alignment=au",
    "video/x-h264,stream-format=avc,alignment=au,codec_data=(buffer)0142c01effe1",
    "video/x-h264,stream-format=avc,alignment=au,codec_data=(buffer)0142c01efd",
    "video/x-h265,stream-format=byte-stream,alignment=au",
    "video/x-h265,stream-format=hvc1,alignment=au",
};
static constexpr std::size_t kForms = sizeof kCaps / sizeof kCaps[0];
static GstHarness *harnesses[kForms];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zarn_fuzz::init_gstreamer();
  for (std::size_t i = 0; i < kForms; ++i) {
    harnesses[i] = gst_harness_new("zarnnvmetademux");
    gst_harness_set_src_caps_str(harnesses[i], kCaps[i]);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  GstHarness *harness = harnesses[data[0] % kForms];
  ++data;
  --size;
  GstBuffer *out = zarn_fuzz::push_bytes(harness, data, size);
  // What comes out is the input with at most one run of bytes taken out
  // (an SEI NAL unit, or a trailer at the end); nothing is written.
  const gsize out_size = gst_buffer_get_size(out);
  gsize same = 0;
  while (same < out_size && gst_buffer_memcmp(out, same, data + same, 1) == 0)
    ++same;
  const gsize rest = out_size - same;
  if (rest != 0 && gst_buffer_memcmp(out, same, data + size - rest, rest) != 0)
    __builtin_trap();
  gst_buffer_unref(out);
  return 0;
}
