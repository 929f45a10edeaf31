// print_all_meta: a human-readable dump of a buffer's metadata on standard
// output.

#include "zarnmeta.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {

// Truncates toward zero like a cast, but without the undefined behaviour of
// casting NaN or out-of-range values: NaN prints 0, the rest saturate.
int32_t float_to_int32(float value) {
  if (std::isnan(value))
    return 0;
  if (value >= 2147483647.0f)
    return INT32_MAX;
  if (value <= -2147483648.0f)
    return INT32_MIN;
  return static_cast<int32_t>(value);
}

void print_id(const NvDsMetaId *id) {
  std::printf("Frame id %" PRId64 "\n", id->id);
  std::printf("timestamp %" PRId64 "\n", id->received);
  std::printf("corrected %" PRId64 "\n", id->corrected);
}

void print_object(const NvDsObjectMeta *obj) {
  std::printf("left %" PRId32 "\n", float_to_int32(obj->rect_params.left));
  std::printf("top %" PRId32 "\n", float_to_int32(obj->rect_params.top));
  std::printf("height %" PRId32 "\n", float_to_int32(obj->rect_params.height));
  std::printf("width %" PRId32 "\n", float_to_int32(obj->rect_params.width));
  std::printf("confidence %" PRId32 "\n", float_to_int32(obj->confidence));
}

} // namespace

extern "C" void print_all_meta(GstBuffer *buffer) {
  NvDsMeta *first = gst_buffer_get_nvds_meta(buffer);
  if (!first) {
    std::printf("No metadata\n");
    return;
  }
  if (first->meta_type == NVDS_BATCH_GST_META) {
    NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer);
    if (!batch)
      return;
    for (GList *f = batch->frame_meta_list; f; f = f->next) {
      auto *frame = static_cast<NvDsFrameMeta *>(f->data);
      for (GList *o = frame->obj_meta_list; o; o = o->next)
        print_object(static_cast<NvDsObjectMeta *>(o->data));
      for (GList *u = frame->frame_user_meta_list; u; u = u->next) {
        auto *user = static_cast<NvDsUserMeta *>(u->data);
        if (user->base_meta.meta_type == NVDS_META_ID_TYPE) {
          if (user->user_meta_data)
            print_id(static_cast<NvDsMetaId *>(user->user_meta_data));
        } else {
          std::printf("Another user meta\n");
        }
      }
    }
    return;
  }
  if (first->meta_type == NVDS_META_ID_TYPE && first->meta_data)
    print_id(static_cast<NvDsMetaId *>(first->meta_data));
}
