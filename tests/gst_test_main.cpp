// Test main: GStreamer is initialised once for the whole test program. As
// with gst_check_init, a GLib critical or warning from any domain (an
// element's g_return_if_fail, GObject's property checks) fails the test
// that caused it, unless the test said it expects one.

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>

#include "glib_log_check.h"

namespace {

std::atomic<int> expected{0};

void on_log(const gchar *domain, GLogLevelFlags level, const gchar *message, gpointer) {
  g_log_default_handler(domain, level, message, NULL);
  if (!(level & (G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING | G_LOG_FLAG_FATAL)))
    return;
  if (expected.load() > 0) {
    zarn_test::GLibLogExpected::count.fetch_add(1);
    return;
  }
  ADD_FAILURE() << "unexpected GLib " << (level & G_LOG_LEVEL_CRITICAL ? "critical" : "warning")
                << " from " << (domain ? domain : "(no domain)") << ": " << message;
}

} // namespace

namespace zarn_test {

std::atomic<int> GLibLogExpected::count{0};

GLibLogExpected::GLibLogExpected() : before_(count.load()) { expected.fetch_add(1); }
GLibLogExpected::~GLibLogExpected() { expected.fetch_sub(1); }
int GLibLogExpected::seen() const { return count.load() - before_; }

} // namespace zarn_test

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  gst_init(&argc, &argv);
  g_log_set_default_handler(on_log, NULL);
  int result = RUN_ALL_TESTS();
  gst_deinit();
  return result;
}
