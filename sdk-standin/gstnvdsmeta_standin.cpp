// NvDsMeta of the SDK stand-in: the GstMeta that carries DeepStream data on a
// buffer, and the stream muxer's turning of buffer-level metas into frame
// user metas.

#include "gstnvdsmeta.h"
#include "nvds_standin.h"

#include <vector>

namespace {

gboolean nvds_meta_init(GstMeta *meta, gpointer /*params*/, GstBuffer * /*buffer*/) {
  auto *m = reinterpret_cast<NvDsMeta *>(meta);
  m->meta_data = NULL;
  m->user_data = NULL;
  m->meta_type = NVDS_GST_INVALID_META;
  m->copyfunc = NULL;
  m->freefunc = NULL;
  m->gst_to_nvds_meta_transform_func = NULL;
  m->gst_to_nvds_meta_release_func = NULL;
  return TRUE;
}

void nvds_meta_free(GstMeta *meta, GstBuffer * /*buffer*/) {
  auto *m = reinterpret_cast<NvDsMeta *>(meta);
  if (m->freefunc && m->meta_data)
    m->freefunc(m->meta_data, m->user_data);
  m->meta_data = NULL;
}

// A buffer copy deep-copies the data through the meta's copy function; other
// transformations do not carry the meta.
gboolean nvds_meta_transform(GstBuffer *dest, GstMeta *meta, GstBuffer * /*buffer*/,
                             GQuark type, gpointer /*data*/) {
  auto *src = reinterpret_cast<NvDsMeta *>(meta);
  if (!GST_META_TRANSFORM_IS_COPY(type) || !src->copyfunc)
    return FALSE;
  gpointer copy = src->meta_data ? src->copyfunc(src->meta_data, src->user_data) : NULL;
  NvDsMeta *dst = gst_buffer_add_nvds_meta(dest, copy, src->user_data, src->copyfunc,
                                           src->freefunc);
  if (!dst) {
    if (copy && src->freefunc)
      src->freefunc(copy, src->user_data);
    return FALSE;
  }
  dst->meta_type = src->meta_type;
  dst->gst_to_nvds_meta_transform_func = src->gst_to_nvds_meta_transform_func;
  dst->gst_to_nvds_meta_release_func = src->gst_to_nvds_meta_release_func;
  return TRUE;
}

// Callers rely on the first DeepStream meta of a buffer being the one
// attached last. GStreamer up to 1.18 keeps a buffer's metas newest first;
// later versions keep them in the order they were added. Which one this
// process runs is found out once, on a scratch buffer.
bool meta_list_is_newest_first() {
  static gsize probed = 0;
  static bool newest_first = true;
  if (g_once_init_enter(&probed)) {
    GstBuffer *scratch = gst_buffer_new();
    gst_buffer_add_meta(scratch, NVDS_META_INFO, NULL);
    GstMeta *second = gst_buffer_add_meta(scratch, NVDS_META_INFO, NULL);
    gpointer state = NULL;
    newest_first = gst_buffer_iterate_meta(scratch, &state) == second;
    gst_buffer_unref(scratch);
    g_once_init_leave(&probed, 1);
  }
  return newest_first;
}

// The newest NvDsMeta of the buffer that `accept` takes, or NULL.
template <typename Accept> NvDsMeta *newest_nvds_meta(GstBuffer *buffer, Accept accept) {
  const bool newest_first = meta_list_is_newest_first();
  NvDsMeta *found = NULL;
  gpointer state = NULL;
  GstMeta *meta;
  while ((meta = gst_buffer_iterate_meta_filtered(buffer, &state, NVDS_META_API_TYPE))) {
    auto *m = reinterpret_cast<NvDsMeta *>(meta);
    if (!accept(m))
      continue;
    found = m;
    if (newest_first)
      break;
  }
  return found;
}

} // namespace

extern "C" {

GType nvds_meta_api_get_type(void) {
  static gsize type_id = 0;
  static const gchar *tags[] = {NVDS_META_STRING, NULL};
  if (g_once_init_enter(&type_id)) {
    GType type = gst_meta_api_type_register("NvDsMetaAPI", tags);
    g_once_init_leave(&type_id, type);
  }
  return type_id;
}

const GstMetaInfo *nvds_meta_get_info(void) {
  static const GstMetaInfo *info = NULL;
  if (g_once_init_enter(&info)) {
    const GstMetaInfo *registered =
        gst_meta_register(NVDS_META_API_TYPE, "NvDsMeta", sizeof(NvDsMeta), nvds_meta_init,
                          nvds_meta_free, nvds_meta_transform);
    g_once_init_leave(&info, registered);
  }
  return info;
}

NvDsMeta *gst_buffer_add_nvds_meta(GstBuffer *buffer, gpointer meta_data, gpointer user_data,
                                   NvDsMetaCopyFunc copy_func,
                                   NvDsMetaReleaseFunc release_func) {
  // Checked here rather than left to gst_buffer_add_meta, which would raise
  // a critical warning: callers expect a quiet NULL.
  if (!buffer || !gst_buffer_is_writable(buffer))
    return NULL;
  auto *meta =
      reinterpret_cast<NvDsMeta *>(gst_buffer_add_meta(buffer, NVDS_META_INFO, NULL));
  if (!meta)
    return NULL;
  meta->meta_data = meta_data;
  meta->user_data = user_data;
  meta->copyfunc = copy_func;
  meta->freefunc = release_func;
  return meta;
}

NvDsMeta *gst_buffer_get_nvds_meta(GstBuffer *buffer) {
  return newest_nvds_meta(buffer, [](NvDsMeta *) { return true; });
}

NvDsBatchMeta *gst_buffer_get_nvds_batch_meta(GstBuffer *buffer) {
  NvDsMeta *meta =
      newest_nvds_meta(buffer, [](NvDsMeta *m) { return m->meta_type == NVDS_BATCH_GST_META; });
  return meta ? static_cast<NvDsBatchMeta *>(meta->meta_data) : NULL;
}

NvDsBatchMeta *zarn_standin_streammux_buffer(GstBuffer *buffer, gint frame_num) {
  if (!buffer || !gst_buffer_is_writable(buffer))
    return NULL;

  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  nvds_acquire_meta_lock(batch);
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
  frame->frame_num = frame_num;
  frame->batch_id = 0;
  frame->buf_pts = GST_BUFFER_PTS(buffer);

  std::vector<GstMeta *> moved;
  gpointer state = NULL;
  GstMeta *meta;
  while ((meta = gst_buffer_iterate_meta_filtered(buffer, &state, NVDS_META_API_TYPE))) {
    auto *m = reinterpret_cast<NvDsMeta *>(meta);
    if (m->meta_type < NVDS_START_USER_META || !m->gst_to_nvds_meta_transform_func)
      continue;
    NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(batch);
    user->base_meta.meta_type = static_cast<NvDsMetaType>(m->meta_type);
    user->base_meta.copy_func = m->gst_to_nvds_meta_transform_func;
    user->base_meta.release_func = m->gst_to_nvds_meta_release_func;
    // The transform callback reads the data from the user meta it is given.
    user->user_meta_data = m->meta_data;
    user->user_meta_data = m->gst_to_nvds_meta_transform_func(user, m->user_data);
    nvds_add_user_meta_to_frame(frame, user);
    moved.push_back(meta);
  }
  for (GstMeta *done : moved)
    gst_buffer_remove_meta(buffer, done);

  nvds_add_frame_meta_to_batch(batch, frame);
  nvds_release_meta_lock(batch);

  batch->base_meta.copy_func = nvds_batch_meta_copy_func;
  batch->base_meta.release_func = nvds_batch_meta_release_func;
  NvDsMeta *batch_meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                                  nvds_batch_meta_release_func);
  batch_meta->meta_type = NVDS_BATCH_GST_META;
  return batch;
}

} // extern "C"
