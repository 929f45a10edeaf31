// The demux element on arbitrary buffers: trailer reader, parser and both
// restorers, through the element's chain function.

#include <gst/check/gstharness.h>

#include "fuzz_common.h"

static GstHarness *harness;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zarn_fuzz::init_gstreamer();
  harness = gst_harness_new("zarnnvmetademux");
  gst_harness_set_src_caps_str(harness, "application/x-fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  GstBuffer *out = zarn_fuzz::push_bytes(harness, data, size);
  // What comes out is the input's first bytes: the whole buffer when it is
  // passed on untouched, the payload when the trailer was cut off. The
  // demux never writes into the payload.
  const gsize out_size = gst_buffer_get_size(out);
  if (out_size != 0 && gst_buffer_memcmp(out, 0, data, out_size) != 0)
    __builtin_trap();
  gst_buffer_unref(out);
  return 0;
}
