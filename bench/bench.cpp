// Per-buffer cost of the elements, next to GStreamer's identity and
// gdppay ! gdpdepay on the same buffers.
//
//   zarn-bench [--objects 0,1,20,100] [--payloads 64,1080p,2160p] [--buffers N] [--reps R]
//              [--callgrind] [--streams N --seconds S]
//
// Each row is one batch of one frame with OBJECTS tracked and classified
// objects and both records on the frame, on a payload of 64 bytes or of an
// NV12 frame. CPU time is this thread's CPU clock over the pushes and pulls
// alone (building each input just before its push, and freeing the
// outputs, are left out), per buffer, the median of R repetitions. With --callgrind the program runs
// itself once more under valgrind's callgrind, collecting only inside the
// same measured regions, and adds instructions per buffer to the table.
//
// --streams N runs N mux ! demux pipelines, each pushed from a thread of its
// own, for S seconds, checks every buffer that comes out and reports buffers
// per second; a mismatch exits non-zero.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <sys/wait.h>

#include <gst/check/gstharness.h>

#ifdef ZARN_HAVE_CALLGRIND
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT ((void)0)
#define CALLGRIND_ZERO_STATS ((void)0)
#define CALLGRIND_DUMP_STATS_AT(name) ((void)(name))
#define RUNNING_ON_VALGRIND 0
#endif

#include "fixtures.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"

using zarn_test::add_frame;
using zarn_test::add_object;
using zarn_test::add_record_user_meta;
using zarn_test::attach_new_batch;

namespace {

struct Payload {
  const char *name;
  gsize bytes;
};

const Payload kPayloads[] = {
    {"64", 64},
    {"1080p", 1920 * 1080 * 3 / 2},
    {"2160p", 3840 * 2160 * 3 / 2},
};

// What each row pushes through, and whether the pusher keeps a reference to
// its inputs. The mux rows keep one, so that releasing the input's batch,
// which the mux only reads, stays outside the measured region; identity and
// gdppay would copy a buffer that is still referenced, so they get their
// inputs as a pipeline hands them over.
// The sei rows push H.264 access units of the row's size (parameter sets,
// then one IDR slice filling the rest) with carrier=sei.
struct Stage {
  const char *name;
  const char *pipeline;
  bool muxed_input;
  bool keep_input;
  bool sei;
};

const Stage kStages[] = {
    {"mux", "zarnnvmetamux", false, true, false},
    {"demux", "zarnnvmetademux", true, false, false},
    {"mux+demux", "zarnnvmetamux ! zarnnvmetademux", false, true, false},
    {"identity", "identity", false, false, false},
    {"gdp", "gdppay ! gdpdepay", false, false, false},
    {"sei-mux", "zarnnvmetamux carrier=sei", false, true, true},
    {"sei-demux", "zarnnvmetademux", true, false, true},
    {"sei-mux+demux", "zarnnvmetamux carrier=sei ! zarnnvmetademux", false, true, true},
};
const char kH264Caps[] = "video/x-h264,stream-format=byte-stream,alignment=au";
constexpr int kStageCount = sizeof kStages / sizeof kStages[0];

GstMemory *payload_memory(gsize bytes) {
  GstMemory *memory = gst_allocator_alloc(NULL, bytes, NULL);
  GstMapInfo map;
  gst_memory_map(memory, &map, GST_MAP_WRITE);
  for (gsize i = 0; i < bytes; i++)
    map.data[i] = static_cast<guint8>(i * 7);
  gst_memory_unmap(memory, &map);
  return memory;
}

// An H.264 access unit of `bytes` bytes (at least 64): AUD, SPS, PPS and
// an IDR slice whose data fills the rest.
GstMemory *access_unit_memory(gsize bytes) {
  static const guint8 head[] = {0, 0, 0, 1, 0x09, 0x10, 0, 0, 0, 1, 0x67, 0x42, 0xc0, 0x1e,
                                0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8, 0, 0, 0, 1, 0x68, 0xce,
                                0x3c, 0x80, 0, 0, 1, 0x65, 0x88, 0x84};
  GstMemory *memory = payload_memory(bytes);
  GstMapInfo map;
  gst_memory_map(memory, &map, GST_MAP_WRITE);
  std::memcpy(map.data, head, sizeof head);
  gst_memory_unmap(memory, &map);
  return memory;
}

// One frame's buffer: the payload memory (shared, never copied here) and a
// batch as inference and tracking leave it.
GstBuffer *frame_buffer(GstMemory *payload, int objects, int n) {
  GstBuffer *buffer = gst_buffer_new();
  gst_buffer_append_memory(buffer, gst_memory_ref(payload));
  GST_BUFFER_PTS(buffer) = n * GST_SECOND / 30;
  NvDsBatchMeta *batch = attach_new_batch(buffer);
  NvDsFrameMeta *frame = add_frame(batch, n);
  add_record_user_meta(batch, frame, NVDS_META_ID_TYPE,
                       NvDsMetaId{n, g_get_real_time() / 1000, 0, n * 33, 0});
  add_record_user_meta(batch, frame, NV_DIMS_TYPE, NvDims{1920, 1080, 1280, 720});
  for (int o = 0; o < objects; o++) {
    const float x = 10.5f + o * 37.25f + n % 100;
    const bool two = o % 2 == 0;
    add_object(batch, frame,
               {x, 20.25f + o * 11.5f, 64.0f + o, 128.0f - o, 0.5f + o * 0.02f, "person",
                "person 12", 0.9f - o * 0.01f, (guint64(n) << 32) + o,
                two ? std::vector<std::pair<gint, std::vector<std::pair<const char *, float>>>>{
                          {3, {{"red", 0.61f}}}, {4, {{"adult", 0.77f}}}}
                    : std::vector<std::pair<gint, std::vector<std::pair<const char *, float>>>>{
                          {3, {{"blue", 0.58f}}}}});
  }
  return buffer;
}

GstHarness *harness(const char *pipeline, bool sei = false) {
  GstHarness *h = gst_harness_new_parse(pipeline);
  gst_harness_set_src_caps_str(h, sei ? kH264Caps : "application/x-bench");
  return h;
}

double thread_cpu_us() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

struct Row {
  int objects;
  const Payload *payload;
  gsize document_bytes = 0;
  double us[kStageCount] = {};
  double instructions[kStageCount] = {};
};

// One input, built just before it is pushed, as the stage before the
// element would hand it over (its metadata still in the cache).
GstBuffer *input(const Stage &stage, GstMemory *payload, int objects, int n, GstHarness *mux) {
  GstBuffer *b = frame_buffer(payload, objects, n);
  if (stage.muxed_input) {
    gst_harness_push(mux, b);
    b = gst_harness_pull(mux);
  }
  return b;
}

gsize document_bytes(GstMemory *payload, int objects) {
  GstHarness *mux = harness("zarnnvmetamux");
  gst_harness_push(mux, frame_buffer(payload, objects, 1));
  GstBuffer *out = gst_harness_pull(mux);
  guint8 tail[4];
  gst_buffer_extract(out, gst_buffer_get_size(out) - 4, tail, 4);
  gst_buffer_unref(out);
  gst_harness_teardown(mux);
  return zarn::read_trailer_length(tail);
}

// Per-buffer CPU microseconds of one repetition: the push and the pull of
// each buffer alone.
double measure(const Stage &stage, GstMemory *payload, int objects, int count, GstHarness *h,
               GstHarness *mux) {
  double total = 0;
  for (int i = 0; i < count; i++) {
    GstBuffer *in = input(stage, payload, objects, i, mux);
    if (stage.keep_input)
      gst_buffer_ref(in);
    const double start = thread_cpu_us();
    CALLGRIND_TOGGLE_COLLECT;
    gst_harness_push(h, in);
    GstBuffer *out = gst_harness_pull(h);
    CALLGRIND_TOGGLE_COLLECT;
    total += thread_cpu_us() - start;
    if (!out) {
      std::fprintf(stderr, "%s: no output buffer\n", stage.name);
      std::exit(2);
    }
    gst_buffer_unref(out);
    if (stage.keep_input)
      gst_buffer_unref(in);
  }
  return total / count;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void run_row(Row &row, int buffers, int reps) {
  GstMemory *raw = payload_memory(row.payload->bytes);
  GstMemory *access_unit = access_unit_memory(row.payload->bytes);
  row.document_bytes = document_bytes(raw, row.objects);
  GstHarness *trailer_mux = harness("zarnnvmetamux");
  GstHarness *sei_mux = harness("zarnnvmetamux carrier=sei", true);
  // Large payloads: fewer buffers a repetition, the same CPU time roughly.
  const int count = row.payload->bytes > 1 << 20 ? std::max(4, buffers / 10) : buffers;
  for (int s = 0; s < kStageCount; s++) {
    GstMemory *payload = kStages[s].sei ? access_unit : raw;
    GstHarness *mux = kStages[s].sei ? sei_mux : trailer_mux;
    GstHarness *h = harness(kStages[s].pipeline, kStages[s].sei);
    measure(kStages[s], payload, row.objects, std::min(count, 8), h, mux); // warm-up
    std::vector<double> times;
    for (int r = 0; r < reps; r++) {
      if (RUNNING_ON_VALGRIND)
        CALLGRIND_ZERO_STATS;
      times.push_back(measure(kStages[s], payload, row.objects, count, h, mux));
      if (RUNNING_ON_VALGRIND) {
        const std::string name = std::to_string(row.objects) + "/" + row.payload->name + "/" +
                                 kStages[s].name + "/" + std::to_string(count);
        CALLGRIND_DUMP_STATS_AT(name.c_str());
      }
    }
    row.us[s] = median(times);
    gst_harness_teardown(h);
  }
  gst_harness_teardown(sei_mux);
  gst_harness_teardown(trailer_mux);
  gst_memory_unref(access_unit);
  gst_memory_unref(raw);
}

// Instructions per buffer from callgrind's dumps: each dump names its row
// and stage and the buffer count; "totals:" is what was collected.
std::map<std::string, double> read_callgrind(const std::string &dir) {
  std::map<std::string, double> result;
  for (int i = 1;; i++) {
    std::ifstream in(dir + "/cg.out." + std::to_string(i));
    if (!in)
      break;
    std::string line, name;
    double totals = -1;
    while (std::getline(in, line)) {
      const std::string trigger = "desc: Trigger: Client Request: ";
      if (line.compare(0, trigger.size(), trigger) == 0)
        name = line.substr(trigger.size());
      else if (line.compare(0, 8, "totals: ") == 0)
        totals = std::atof(line.c_str() + 8);
    }
    const std::size_t slash = name.rfind('/');
    if (totals >= 0 && slash != std::string::npos)
      result[name.substr(0, slash)] = totals / std::atoi(name.c_str() + slash + 1);
  }
  return result;
}

bool run_under_callgrind(char *self, const std::vector<std::string> &args,
                         std::map<std::string, double> *counts) {
  char dir_template[] = "/tmp/zarn-bench-XXXXXX";
  const char *dir = g_mkdtemp(dir_template);
  if (!dir)
    return false;
  const std::string out = std::string("--callgrind-out-file=") + dir + "/cg.out";
  std::vector<std::string> argv = {"valgrind", "--tool=callgrind", "--collect-atstart=no",
                                   out, self, "--under-callgrind"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char *> cargv;
  for (std::string &a : argv)
    cargv.push_back(&a[0]);
  cargv.push_back(nullptr);
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
      _exit(127);
    execvp("valgrind", cargv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  *counts = read_callgrind(dir);
  // Leave nothing behind.
  for (int i = 0; i < 1000; i++)
    unlink((std::string(dir) + "/cg.out." + std::to_string(i)).c_str());
  unlink((std::string(dir) + "/cg.out").c_str());
  rmdir(dir);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && !counts->empty();
}

std::string fmt(const char *format, double v) {
  char text[32];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string kilo(double instructions) {
  return instructions > 0 ? fmt("%.0fk", instructions / 1000) : "-";
}

void print_table(const std::vector<Row> &rows, bool with_instructions) {
  std::printf("\nper buffer: CPU us (median of repetitions)%s\n",
              with_instructions ? " / instructions (callgrind)" : "");
  std::printf("%7s %6s %7s |", "objects", "payload", "doc B");
  for (const Stage &s : kStages)
    std::printf(" %*s |", with_instructions ? 16 : 9, s.name);
  std::printf(" mux/identity  mux/gdp  mux+demux/gdp  sei/trailer (mux+demux)  mux/mux@64B\n");
  std::map<int, const Row *> small;
  for (const Row &r : rows)
    if (r.payload == &kPayloads[0])
      small[r.objects] = &r;
  for (const Row &r : rows) {
    std::printf("%7d %6s %7zu |", r.objects, r.payload->name, static_cast<size_t>(r.document_bytes));
    for (int s = 0; s < kStageCount; s++) {
      if (with_instructions)
        std::printf(" %7.1f %8s |", r.us[s], kilo(r.instructions[s]).c_str());
      else
        std::printf(" %9.1f |", r.us[s]);
    }
    // Instruction counts where there are any: they do not move with the
    // machine's load.
    const double *v = with_instructions ? r.instructions : r.us;
    std::printf(" %12.1f %8.2f %14.2f %24.2f", v[0] / v[3], v[0] / v[4], v[2] / v[4],
                v[7] / v[2]);
    const auto base = small.find(r.objects);
    if (base != small.end()) {
      const double *b = with_instructions ? base->second->instructions : base->second->us;
      std::printf("  %11.2f", v[0] / b[0]);
    }
    std::printf("\n");
  }
}

std::vector<std::string> split_list(const char *text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ','))
    out.push_back(item);
  return out;
}

// N pipelines on N threads; every output buffer is checked.
int run_streams(int streams, double seconds) {
  std::vector<GstHarness *> harnesses;
  for (int i = 0; i < streams; i++)
    harnesses.push_back(harness("zarnnvmetamux ! zarnnvmetademux"));
  std::atomic<long> total{0};
  std::atomic<long> bad{0};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < streams; t++) {
    threads.emplace_back([&, t] {
      GstMemory *payload = payload_memory(64 + t);
      std::vector<guint8> expected(64 + t);
      {
        GstMapInfo map;
        gst_memory_map(payload, &map, GST_MAP_READ);
        std::memcpy(expected.data(), map.data, map.size);
        gst_memory_unmap(payload, &map);
      }
      // Bounded in count as well as in time.
      for (long n = 0; n < 10000000 && std::chrono::steady_clock::now() < deadline; n++) {
        const int objects = 1 + static_cast<int>(n % 20);
        GstBuffer *in = frame_buffer(payload, objects, static_cast<int>(n));
        if (gst_harness_push(harnesses[t], in) != GST_FLOW_OK) {
          bad++;
          break;
        }
        GstBuffer *out = gst_harness_pull(harnesses[t]);
        const NvDsBatchMeta *batch = out ? gst_buffer_get_nvds_batch_meta(out) : nullptr;
        const auto *frame = batch && batch->frame_meta_list
                                ? static_cast<const NvDsFrameMeta *>(batch->frame_meta_list->data)
                                : nullptr;
        if (!out || zarn_test::bytes_of(out) != expected || !frame ||
            frame->frame_num != static_cast<int>(n) ||
            static_cast<int>(g_list_length(frame->obj_meta_list)) != objects)
          bad++;
        if (out)
          gst_buffer_unref(out);
        total++;
      }
      gst_memory_unref(payload);
    });
  }
  for (std::thread &t : threads)
    t.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (GstHarness *h : harnesses)
    gst_harness_teardown(h);
  std::printf("%d mux ! demux pipelines on %d threads for %.1f s: %ld buffers, %.0f buffers/s, "
              "%ld mismatches\n",
              streams, streams, elapsed, total.load(), total.load() / elapsed, bad.load());
  return bad.load() == 0 && total.load() > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  gst_plugin_zarnnvmetamux_register();
  gst_plugin_zarnnvmetademux_register();

  std::vector<std::string> objects = {"0", "1", "20", "100"};
  std::vector<std::string> payloads = {"64", "1080p", "2160p"};
  int buffers = 200, reps = 7, streams = 0;
  double seconds = 10;
  bool callgrind = false, under_callgrind = false;
  std::vector<std::string> forwarded;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--objects" && has_value) {
      objects = split_list(argv[++i]);
      forwarded.insert(forwarded.end(), {a, argv[i]});
    } else if (a == "--payloads" && has_value) {
      payloads = split_list(argv[++i]);
      forwarded.insert(forwarded.end(), {a, argv[i]});
    } else if (a == "--buffers" && has_value) {
      buffers = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--reps" && has_value) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--streams" && has_value) {
      streams = std::atoi(argv[++i]);
    } else if (a == "--seconds" && has_value) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--callgrind") {
      callgrind = true;
    } else if (a == "--under-callgrind") {
      under_callgrind = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--objects 0,1,20,100] [--payloads 64,1080p,2160p] [--buffers N] "
                   "[--reps R] [--callgrind] [--streams N --seconds S]\n",
                   argv[0]);
      return 2;
    }
  }
  if (streams > 0) {
    const int rc = run_streams(streams, seconds);
    gst_deinit();
    return rc;
  }

  std::vector<Row> rows;
  for (const std::string &p : payloads) {
    const Payload *payload = nullptr;
    for (const Payload &k : kPayloads)
      if (p == k.name)
        payload = &k;
    if (!payload) {
      std::fprintf(stderr, "unknown payload %s (64, 1080p, 2160p)\n", p.c_str());
      return 2;
    }
    for (const std::string &o : objects) {
      Row row;
      row.objects = std::atoi(o.c_str());
      row.payload = payload;
      rows.push_back(row);
    }
  }

  // Under callgrind a few buffers, once, are enough: the counts repeat.
  if (under_callgrind) {
    for (Row &row : rows)
      run_row(row, std::min(buffers, 20), 1);
    gst_deinit();
    return 0;
  }
  for (Row &row : rows) {
    run_row(row, buffers, reps);
    std::fprintf(stderr, ".");
  }
  bool with_instructions = false;
  if (callgrind) {
    std::map<std::string, double> counts;
    std::vector<std::string> args = forwarded;
    args.insert(args.end(), {"--buffers", std::to_string(std::min(buffers, 20))});
    if (run_under_callgrind(argv[0], args, &counts)) {
      with_instructions = true;
      for (Row &row : rows)
        for (int s = 0; s < kStageCount; s++) {
          const std::string key =
              std::to_string(row.objects) + "/" + row.payload->name + "/" + kStages[s].name;
          row.instructions[s] = counts.count(key) ? counts[key] : 0;
        }
    } else {
      std::fprintf(stderr, "\ncallgrind run failed (is valgrind installed?): CPU times only\n");
    }
  }
  print_table(rows, with_instructions);
  gst_deinit();
  return 0;
}
