// Every test program fails a test on a GLib critical or warning it did not
// expect (tests/gst_test_main.cpp). A test that provokes one on purpose
// holds a GLibLogExpected while it does, and checks seen() afterwards.
#ifndef ZARN_TEST_GLIB_LOG_CHECK_H
#define ZARN_TEST_GLIB_LOG_CHECK_H

#include <atomic>

namespace zarn_test {

class GLibLogExpected {
public:
  GLibLogExpected();
  ~GLibLogExpected();
  GLibLogExpected(const GLibLogExpected &) = delete;
  GLibLogExpected &operator=(const GLibLogExpected &) = delete;

  // Criticals and warnings logged since this was made.
  int seen() const;

  static std::atomic<int> count;

private:
  int before_;
};

} // namespace zarn_test

#endif
