// The frame identity and dimensions records: type registration at load,
// DeepStream callbacks, attaching, lookup and accessors.

#include "zarnmeta.h"
#include "zarnmeta_frame.h"

#include <cstdio>

extern "C" {
char _NVDS_META_ID_TYPE[] = "NVIDIA.ID.META";
char _NV_DIMS_TYPE[] = "NVIDIA.DIMS.META";

// Dynamic initialisation: runs when the library holding this file loads, the
// identity type first.
NvDsMetaType NVDS_META_ID_TYPE = nvds_get_user_meta_type(_NVDS_META_ID_TYPE);
NvDsMetaType NV_DIMS_TYPE = nvds_get_user_meta_type(_NV_DIMS_TYPE);
}

namespace {

template <typename T> gpointer copy_record(gpointer data) {
  if (!data)
    return NULL;
  T *copy = g_new0(T, 1);
  *copy = *static_cast<const T *>(data);
  return copy;
}

gpointer meta_id_copy_func(gpointer data, gpointer /*user_data*/) {
  return copy_record<NvDsMetaId>(data);
}

void meta_id_release_func(gpointer data, gpointer /*user_data*/) {
  g_free(data);
}

// The stream muxer hands the transform pair an NvDsUserMeta whose data is
// the buffer-level record.
gpointer meta_id_gst_to_nvds_meta_transform_func(gpointer data, gpointer /*user_data*/) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  return user ? copy_record<NvDsMetaId>(user->user_meta_data) : NULL;
}

void meta_id_gst_nvds_meta_release_func(gpointer data, gpointer user_data) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  if (!user)
    return;
  meta_id_release_func(user->user_meta_data, user_data);
  user->user_meta_data = NULL;
}

gpointer dims_meta_copy_func(gpointer data, gpointer /*user_data*/) {
  return copy_record<NvDims>(data);
}

void dims_meta_release_func(gpointer data, gpointer /*user_data*/) {
  g_free(data);
}

gpointer dims_meta_gst_to_nvds_meta_transform_func(gpointer data, gpointer /*user_data*/) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  return user ? copy_record<NvDims>(user->user_meta_data) : NULL;
}

void dims_meta_gst_nvds_meta_release_func(gpointer data, gpointer user_data) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  if (!user)
    return;
  dims_meta_release_func(user->user_meta_data, user_data);
  user->user_meta_data = NULL;
}

gpointer find_record(GstBuffer *buffer, NvDsMetaType wanted) {
  NvDsMeta *first = gst_buffer_get_nvds_meta(buffer);
  if (!first)
    return NULL;
  if (first->meta_type == NVDS_BATCH_GST_META) {
    NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buffer);
    if (!batch)
      return NULL;
    gpointer found = NULL;
    for (GList *f = batch->frame_meta_list; f && !found; f = f->next)
      zarn::for_each_frame_record(*static_cast<const NvDsFrameMeta *>(f->data),
                                  [wanted, &found](NvDsMetaType type, gpointer record) {
                                    if (type == wanted)
                                      found = record;
                                    return found == NULL;
                                  });
    return found;
  }
  if (first->meta_type == wanted && first->meta_data)
    return first->meta_data;
  return NULL;
}

// A record as the frame user meta the stream muxer makes of it: the
// transform pair copies and frees the record of the user meta it is given.
bool add_frame_record(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDsMetaType type,
                      gpointer record, NvDsMetaCopyFunc copy, NvDsMetaReleaseFunc release) {
  NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(batch);
  if (!user)
    return false;
  user->user_meta_data = record;
  user->base_meta.meta_type = type;
  user->base_meta.copy_func = copy;
  user->base_meta.release_func = release;
  nvds_add_user_meta_to_frame(frame, user);
  return true;
}

} // namespace

namespace zarn {

bool add_frame_id_meta(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDsMetaId *record) {
  return add_frame_record(batch, frame, NVDS_META_ID_TYPE, record,
                          meta_id_gst_to_nvds_meta_transform_func,
                          meta_id_gst_nvds_meta_release_func);
}

bool add_frame_dims_meta(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDims *record) {
  return add_frame_record(batch, frame, NV_DIMS_TYPE, record,
                          dims_meta_gst_to_nvds_meta_transform_func,
                          dims_meta_gst_nvds_meta_release_func);
}

} // namespace zarn

extern "C" {

NvDsMeta *gst_buffer_add_nvds_id_meta(GstBuffer *buffer, NvDsMetaId *meta) {
  NvDsMeta *added =
      gst_buffer_add_nvds_meta(buffer, meta, NULL, meta_id_copy_func, meta_id_release_func);
  if (!added)
    return NULL;
  added->meta_type = NVDS_META_ID_TYPE;
  added->gst_to_nvds_meta_transform_func = meta_id_gst_to_nvds_meta_transform_func;
  added->gst_to_nvds_meta_release_func = meta_id_gst_nvds_meta_release_func;
  added->copyfunc = meta_id_copy_func;
  return added;
}

NvDsMeta *gst_buffer_add_dims_meta(GstBuffer *buffer, NvDims *meta) {
  NvDsMeta *added =
      gst_buffer_add_nvds_meta(buffer, meta, NULL, dims_meta_copy_func, dims_meta_release_func);
  if (!added)
    return NULL;
  added->meta_type = NV_DIMS_TYPE;
  added->gst_to_nvds_meta_transform_func = dims_meta_gst_to_nvds_meta_transform_func;
  added->gst_to_nvds_meta_release_func = dims_meta_gst_nvds_meta_release_func;
  return added;
}

NvDsMetaId *gst_buffer_get_nvds_id_meta(GstBuffer *buffer) {
  return static_cast<NvDsMetaId *>(find_record(buffer, NVDS_META_ID_TYPE));
}

int64_t get_id_from_id_meta(GstBuffer *buffer) {
  const NvDsMetaId *meta = gst_buffer_get_nvds_id_meta(buffer);
  return meta ? meta->id : 0;
}

NvDims *gst_buffer_get_dims_meta(GstBuffer *buffer) {
  return static_cast<NvDims *>(find_record(buffer, NV_DIMS_TYPE));
}

static void store_pair(NvDims *dims, int64_t height, int64_t width, bool is_start) {
  if (is_start) {
    dims->start_height = height;
    dims->start_width = width;
  } else {
    dims->end_height = height;
    dims->end_width = width;
  }
}

bool gst_buffer_add_or_update_dims_meta(GstBuffer *buffer, int64_t height, int64_t width,
                                        bool is_start) {
  NvDims *dims = gst_buffer_get_dims_meta(buffer);
  if (dims) {
    store_pair(dims, height, width, is_start);
    return true;
  }
  dims = g_try_new0(NvDims, 1);
  if (!dims) {
    std::fputs("Failed to allocate memory for NvDims metadata.\n", stderr);
    return false;
  }
  store_pair(dims, height, width, is_start);
  if (!gst_buffer_add_dims_meta(buffer, dims)) {
    g_free(dims);
    std::fputs("Failed to add NvDims metadata to buffer.\n", stderr);
    return false;
  }
  return true;
}

void set_start_dimensions(NvDims *dims, int64_t width, int64_t height) {
  if (!dims)
    return;
  dims->start_width = width;
  dims->start_height = height;
}

void set_end_dimensions(NvDims *dims, int64_t width, int64_t height) {
  if (!dims)
    return;
  dims->end_width = width;
  dims->end_height = height;
}

int64_t get_start_width(const NvDims *dims) { return dims ? dims->start_width : 0; }
int64_t get_start_height(const NvDims *dims) { return dims ? dims->start_height : 0; }
int64_t get_end_width(const NvDims *dims) { return dims ? dims->end_width : 0; }
int64_t get_end_height(const NvDims *dims) { return dims ? dims->end_height : 0; }

} // extern "C"
