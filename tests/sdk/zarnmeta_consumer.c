/*
 * Another element's code, built on the installed records library through
 * its pkg-config file alone: it must compile and link against whichever SDK
 * the library was built for, and find the record it attached.
 */
#include <zarnmeta.h>

int main(void) {
  gst_init(NULL, NULL);
  GstBuffer *buffer = gst_buffer_new();
  NvDsMetaId *id = g_new0(NvDsMetaId, 1);
  id->id = 42;
  if (!gst_buffer_add_nvds_id_meta(buffer, id))
    return 1;
  const int found = get_id_from_id_meta(buffer) == 42;
  gst_buffer_unref(buffer);
  return found ? 0 : 1;
}
