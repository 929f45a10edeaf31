// The mux under faults: a full disk, a log path that goes away, and
// "savepath" set from another thread while buffers stream. None of them may
// stop or corrupt the stream.

#include <gtest/gtest.h>

#include <gst/check/gstharness.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "plugin_env.h"
#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"

using zarn_test::new_id;
using zarn_test::payload_buffer;
using zarn_test::split_trailer;

namespace {

const auto *const register_plugins = ::testing::AddGlobalTestEnvironment(
    new zarn_test::RegisterPlugins(
        {gst_plugin_zarnnvmetamux_register, gst_plugin_zarnnvmetademux_register}));

std::string printed;
void capture_print(const gchar *text) { printed += text; }

// Pushes `count` buffers with identity records and checks that each comes
// out with its own document in the trailer.
void stream(GstHarness *h, int first, int count) {
  for (int i = first; i < first + count; i++) {
    GstBuffer *in = payload_buffer(32);
    gst_buffer_add_nvds_id_meta(in, new_id(i));
    ASSERT_EQ(gst_harness_push(h, in), GST_FLOW_OK);
    GstBuffer *out = gst_harness_pull(h);
    const zarn_test::Trailer t = split_trailer(out);
    ASSERT_TRUE(t.ok);
    ASSERT_EQ(t.document, "{\"frames\":[{\"id\":" + std::to_string(i) + "}]}");
    gst_buffer_unref(out);
  }
}

std::string temp_dir() {
  char templ[] = "/tmp/zarn-faults-XXXXXX";
  return g_mkdtemp(templ);
}

} // namespace

TEST(MuxFaults, FullDiskDoesNotStopTheStream) {
  // /dev/full opens, and every write or flush fails with ENOSPC.
  printed.clear();
  GPrintFunc old = g_set_print_handler(capture_print);
  GstHarness *h = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  g_object_set(h->element, "savepath", "/dev/full", NULL);
  stream(h, 0, 50);
  EXPECT_EQ(printed, "Open file!\n");
  gst_harness_teardown(h);
  g_set_print_handler(old);
}

TEST(MuxFaults, LogPathThatGoesAwayDoesNotStopTheStream) {
  printed.clear();
  GPrintFunc old = g_set_print_handler(capture_print);
  const std::string dir = temp_dir();
  const std::string path = dir + "/docs.txt";
  GstHarness *h = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(h, "application/x-test");
  g_object_set(h->element, "savepath", path.c_str(), NULL);
  stream(h, 0, 3);
  // The open stream keeps writing to the removed file; nothing fails.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(rmdir(dir.c_str()), 0);
  stream(h, 3, 3);
  EXPECT_EQ(printed, "Open file!\n");

  // A new element given the vanished path cannot open it and says so for
  // every buffer, and its buffers still flow.
  GstHarness *late = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(late, "application/x-test");
  g_object_set(late->element, "savepath", path.c_str(), NULL);
  printed.clear();
  stream(late, 0, 2);
  EXPECT_EQ(printed, "Failed to open file!\nFailed to open file!\n");
  gst_harness_teardown(late);
  gst_harness_teardown(h);
  g_set_print_handler(old);
}

// Properties may be set from any thread: "silent" on both elements from two
// threads at once, while the last value set stays readable (a data race
// here shows in a ThreadSanitizer build).
TEST(MuxFaults, SilentSetFromTwoThreads) {
  for (const char *factory : {"zarnnvmetamux", "zarnnvmetademux"}) {
    SCOPED_TRACE(factory);
    GstElement *element = gst_element_factory_make(factory, NULL);
    ASSERT_NE(element, nullptr);
    auto toggle = [element](gboolean first) {
      for (int i = 0; i < 2000; i++) {
        g_object_set(element, "silent", (i & 1) ? !first : first, NULL);
        gboolean value;
        g_object_get(element, "silent", &value, NULL);
      }
    };
    std::thread a(toggle, TRUE), b(toggle, FALSE);
    a.join();
    b.join();
    g_object_set(element, "silent", TRUE, NULL);
    gboolean value = FALSE;
    g_object_get(element, "silent", &value, NULL);
    EXPECT_TRUE(value);
    gst_object_unref(element);
  }
}

TEST(MuxFaults, SavepathSetFromAnotherThreadWhileStreaming) {
  GPrintFunc old = g_set_print_handler(capture_print);
  const std::string dir = temp_dir();
  const std::string path = dir + "/docs.txt";
  GstHarness *h = gst_harness_new("zarnnvmetamux");
  gst_harness_set_src_caps_str(h, "application/x-test");

  std::atomic<bool> done(false);
  std::thread setter([&] {
    const char *values[] = {path.c_str(), "", "/nonexistent-zarn/other.txt", NULL};
    for (unsigned i = 0; !done; i++) {
      g_object_set(h->element, "savepath", values[i % 4], NULL);
      gchar *read = NULL;
      g_object_get(h->element, "savepath", &read, NULL);
      g_free(read);
    }
  });
  stream(h, 0, 3000);
  done = true;
  setter.join();
  gst_harness_teardown(h);
  g_set_print_handler(old);

  // Whatever reached the log is whole documents, one a line.
  std::ifstream in(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), ',');
    line.pop_back();
    const nlohmann::json doc = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << line;
    ASSERT_TRUE(doc["frames"][0]["id"].is_number());
    lines++;
  }
  unlink(path.c_str());
  rmdir(dir.c_str());
  SUCCEED() << lines << " documents logged";
}
