// Walks one frame's records the way a pipeline does: an upstream element
// attaches identity and dimensions records, the stream muxer carries them
// into a batch, and the dump shows what a later element finds.

#include <cinttypes>
#include <cstdio>

#include <gst/gst.h>

#include "nvds_standin.h"
#include "zarnmeta.h"

int main(int argc, char **argv) {
  gst_init(&argc, &argv);

  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 640 * 360 * 3 / 2, NULL);
  NvDsMetaId *id = g_new0(NvDsMetaId, 1);
  id->id = 42;
  id->received = g_get_real_time() / 1000;
  gst_buffer_add_nvds_id_meta(buffer, id);
  gst_buffer_add_or_update_dims_meta(buffer, 540, 960, true);
  gst_buffer_add_or_update_dims_meta(buffer, 360, 640, false);

  std::printf("Buffer-level records (the dump looks at the last attached one):\n");
  print_all_meta(buffer);
  const NvDims *dims = gst_buffer_get_dims_meta(buffer);
  std::printf("source %" PRId64 "x%" PRId64 ", after muxer %" PRId64 "x%" PRId64 "\n",
              get_start_width(dims), get_start_height(dims), get_end_width(dims),
              get_end_height(dims));

  NvDsBatchMeta *batch = zarn_standin_streammux_buffer(buffer, 7);
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  obj->rect_params.left = 10.9f;
  obj->rect_params.top = 20.0f;
  obj->rect_params.width = 30.0f;
  obj->rect_params.height = 40.0f;
  obj->confidence = 0.5f;
  nvds_add_obj_meta_to_frame(static_cast<NvDsFrameMeta *>(batch->frame_meta_list->data), obj,
                             NULL);

  std::printf("\nAfter the stream muxer (a batch of one frame with one object):\n");
  print_all_meta(buffer);
  const int64_t found = get_id_from_id_meta(buffer);
  std::printf("frame identity found in the batch: %" PRId64 "\n", found);

  gst_buffer_unref(buffer);
  gst_deinit();
  return found == 42 ? 0 : 1;
}
