// Test main: GStreamer is initialised once for the whole test program.

#include <gst/gst.h>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  gst_init(&argc, &argv);
  int result = RUN_ALL_TESTS();
  gst_deinit();
  return result;
}
