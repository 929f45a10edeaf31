// Not built: the API check's own test. Each call below is newer than the
// boards' GStreamer 1.14 and GLib 2.56, and the check must name it.
#include <gst/gst.h>

void newer_calls(const void *data) {
  GstBuffer *buffer = gst_buffer_new_memdup(data, 4);
  GStrvBuilder *builder = g_strv_builder_new();
  g_strv_builder_unref(builder);
  gst_clear_buffer(&buffer);
}
