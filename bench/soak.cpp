// Soak and per-buffer cost of the elements.
//
//   zarn-soak [BUFFERS] [OBJECTS] [PAYLOAD-BYTES]
//
// Pushes BUFFERS (100000) buffers, each with a batch of one frame holding
// OBJECTS (20) tracked and classified objects and the two records, through
// zarnnvmetamux ! zarnnvmetademux ! zarnnvmetamux, and measures resident
// memory after a warm-up and at the end; growth of 1 MiB or more fails.
// Before that it times the mux and the demux alone.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <gst/check/gstharness.h>

#include "fixtures.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"

using zarn_test::add_frame;
using zarn_test::add_object;
using zarn_test::add_record_user_meta;
using zarn_test::attach_new_batch;

namespace {

long resident_kib() {
  long pages_total = 0, pages_resident = 0;
  FILE *statm = std::fopen("/proc/self/statm", "r");
  if (!statm)
    return -1;
  if (std::fscanf(statm, "%ld %ld", &pages_total, &pages_resident) != 2)
    pages_resident = -1;
  std::fclose(statm);
  return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

GstBuffer *frame_buffer(std::size_t payload, int objects, int n) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, payload, NULL);
  gst_buffer_memset(buffer, 0, static_cast<guint8>(n), payload);
  NvDsBatchMeta *batch = attach_new_batch(buffer);
  NvDsFrameMeta *frame = add_frame(batch, n);
  add_record_user_meta(batch, frame, NVDS_META_ID_TYPE,
                       NvDsMetaId{n, g_get_real_time() / 1000, 0, n * 33, 0});
  add_record_user_meta(batch, frame, NV_DIMS_TYPE, NvDims{1920, 1080, 1280, 720});
  for (int o = 0; o < objects; o++)
    add_object(batch, frame,
               {10.5f + o + n % 100, 20.25f + o, 64.0f, 128.0f, 0.87f, "person", "person 12",
                o % 5 ? 0.93f : 0.0f, (guint64(n) << 32) + o,
                {{3, {{"red", 0.61f}}}, {4, {{"adult", 0.77f}}}}});
  return buffer;
}

double run(GstHarness *h, int count, std::size_t payload, int objects) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; i++) {
    if (gst_harness_push(h, frame_buffer(payload, objects, i)) != GST_FLOW_OK) {
      std::fprintf(stderr, "push failed at buffer %d\n", i);
      std::exit(2);
    }
    gst_buffer_unref(gst_harness_pull(h));
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count() / count;
}

GstHarness *harness(const char *description) {
  GstHarness *h = gst_harness_new_parse(description);
  gst_harness_set_src_caps_str(h, "application/x-bench");
  return h;
}

} // namespace

int main(int argc, char **argv) {
  const int buffers = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int timed = buffers < 2000 ? buffers : 2000;
  const int objects = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::size_t payload = argc > 3 ? std::strtoul(argv[3], NULL, 10) : 320 * 240 * 3 / 2;
  gst_init(&argc, &argv);
  gst_plugin_zarnnvmetamux_register();
  gst_plugin_zarnnvmetademux_register();

  // Cost of building and freeing the input alone, to subtract.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < timed; i++)
    gst_buffer_unref(frame_buffer(payload, objects, i));
  const double input_us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
          .count() /
      timed;

  GstHarness *mux = harness("zarnnvmetamux");
  const double mux_us = run(mux, timed, payload, objects) - input_us;
  gst_harness_teardown(mux);
  GstHarness *pair = harness("zarnnvmetamux ! zarnnvmetademux");
  const double demux_us = run(pair, timed, payload, objects) - input_us - mux_us;
  gst_harness_teardown(pair);
  std::printf("per buffer (%d objects, %zu payload bytes): mux %.1f us, demux %.1f us\n",
              objects, payload, mux_us, demux_us);

  GstHarness *chain = harness("zarnnvmetamux ! zarnnvmetademux ! zarnnvmetamux");
  const int warmup = buffers < 2000 ? buffers / 10 : 1000;
  run(chain, warmup, payload, objects);
  const long before = resident_kib();
  const double chain_us = run(chain, buffers - warmup, payload, objects);
  const long after = resident_kib();
  gst_harness_teardown(chain);

  const long growth = after - before;
  std::printf("soak: %d buffers through mux ! demux ! mux, %.1f us per buffer\n", buffers,
              chain_us);
  std::printf("resident memory: %ld KiB after %d warm-up buffers, %ld KiB at the end, "
              "growth %ld KiB\n",
              before, warmup, after, growth);
  gst_deinit();
  if (growth >= 1024) {
    std::printf("FAILED: resident memory grew by 1 MiB or more\n");
    return 1;
  }
  return 0;
}
