// Batch metadata of the SDK stand-in: user meta type registry, batches, pools,
// list insertion, deep copy and release.

#include "nvdsmeta.h"

#include <cstring>
#include <map>
#include <string>

namespace {

GMutex registry_lock;

// Records a pool may hand out; 0 for as many as asked.
gint pool_limit = 0;

std::map<std::string, NvDsMetaType> &registry() {
  static std::map<std::string, NvDsMetaType> types;
  return types;
}

NvDsMetaPool *pool_new(NvDsMetaType type, guint element_size, guint max_elements) {
  NvDsMetaPool *pool = g_new0(NvDsMetaPool, 1);
  pool->meta_type = type;
  pool->element_size = element_size;
  pool->max_elements_in_pool = max_elements;
  return pool;
}

// Every record a pool hands out is zero-filled, owned by the batch and kept
// on the pool's full_list until the batch is released. NULL once the pool
// has handed out as many as the limit allows.
gpointer pool_acquire(NvDsBatchMeta *batch, NvDsMetaPool *pool) {
  const guint limit = static_cast<guint>(g_atomic_int_get(&pool_limit));
  if (limit && pool->num_full_elements >= limit)
    return NULL;
  auto *base = static_cast<NvDsBaseMeta *>(g_malloc0(pool->element_size));
  base->batch_meta = batch;
  base->meta_type = pool->meta_type;
  pool->full_list = g_list_prepend(pool->full_list, base);
  pool->num_full_elements++;
  return base;
}

void release_user_meta(NvDsUserMeta *user) {
  if (user->base_meta.release_func)
    user->base_meta.release_func(user, NULL);
  user->user_meta_data = NULL;
}

void release_record(NvDsMetaType type, gpointer record) {
  switch (type) {
  case NVDS_FRAME_META: {
    auto *frame = static_cast<NvDsFrameMeta *>(record);
    g_list_free(frame->obj_meta_list);
    g_list_free(frame->display_meta_list);
    g_list_free(frame->frame_user_meta_list);
    break;
  }
  case NVDS_OBJ_META: {
    auto *obj = static_cast<NvDsObjectMeta *>(record);
    g_free(obj->text_params.display_text);
    g_free(obj->text_params.font_params.font_name);
    g_free(obj->mask_params.data);
    g_list_free(obj->classifier_meta_list);
    g_list_free(obj->obj_user_meta_list);
    break;
  }
  case NVDS_CLASSIFIER_META:
    g_list_free(static_cast<NvDsClassifierMeta *>(record)->label_info_list);
    break;
  case NVDS_LABEL_INFO_META:
    g_free(static_cast<NvDsLabelInfo *>(record)->pResult_label);
    break;
  case NVDS_USER_META:
    release_user_meta(static_cast<NvDsUserMeta *>(record));
    break;
  default:
    break;
  }
  g_free(record);
}

void pool_free(NvDsMetaPool *pool) {
  if (!pool)
    return;
  for (GList *l = pool->full_list; l; l = l->next)
    release_record(pool->meta_type, l->data);
  g_list_free(pool->full_list);
  g_free(pool);
}

// A user meta copy asks the meta's own copy function for new data; without
// one the copy carries no data, since sharing it would free it twice.
NvDsUserMeta *copy_user_meta(NvDsBatchMeta *dst, const NvDsUserMeta *src) {
  NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(dst);
  user->base_meta.meta_type = src->base_meta.meta_type;
  user->base_meta.uContext = src->base_meta.uContext;
  user->base_meta.copy_func = src->base_meta.copy_func;
  user->base_meta.release_func = src->base_meta.release_func;
  if (src->base_meta.copy_func && src->user_meta_data)
    user->user_meta_data =
        src->base_meta.copy_func(const_cast<NvDsUserMeta *>(src), NULL);
  return user;
}

// Copies the plain fields of a record and keeps the copy's own base meta
// (its batch and type), the lists being rebuilt by the caller.
template <typename T> void copy_fields(T *dst, const T *src) {
  NvDsBaseMeta base = dst->base_meta;
  std::memcpy(dst, src, sizeof(T));
  dst->base_meta = base;
  dst->base_meta.uContext = src->base_meta.uContext;
}

NvDsObjectMeta *copy_object(NvDsBatchMeta *dst, const NvDsObjectMeta *src) {
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(dst);
  copy_fields(obj, src);
  obj->parent = NULL;
  obj->text_params.display_text = g_strdup(src->text_params.display_text);
  obj->text_params.font_params.font_name = g_strdup(src->text_params.font_params.font_name);
  obj->mask_params.data = NULL;
  obj->mask_params.size = 0;
  obj->classifier_meta_list = NULL;
  obj->obj_user_meta_list = NULL;
  for (GList *c = src->classifier_meta_list; c; c = c->next) {
    auto *src_cls = static_cast<NvDsClassifierMeta *>(c->data);
    NvDsClassifierMeta *cls = nvds_acquire_classifier_meta_from_pool(dst);
    copy_fields(cls, src_cls);
    cls->label_info_list = NULL;
    cls->num_labels = 0;
    for (GList *l = src_cls->label_info_list; l; l = l->next) {
      auto *src_label = static_cast<NvDsLabelInfo *>(l->data);
      NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(dst);
      copy_fields(label, src_label);
      label->pResult_label = g_strdup(src_label->pResult_label);
      nvds_add_label_info_meta_to_classifier(cls, label);
    }
    nvds_add_classifier_meta_to_object(obj, cls);
  }
  for (GList *u = src->obj_user_meta_list; u; u = u->next)
    obj->obj_user_meta_list = g_list_append(
        obj->obj_user_meta_list, copy_user_meta(dst, static_cast<NvDsUserMeta *>(u->data)));
  return obj;
}

NvDsFrameMeta *copy_frame(NvDsBatchMeta *dst, const NvDsFrameMeta *src) {
  NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(dst);
  copy_fields(frame, src);
  frame->obj_meta_list = NULL;
  frame->display_meta_list = NULL;
  frame->frame_user_meta_list = NULL;
  frame->num_obj_meta = 0;

  // Parents point into the source batch; map them onto the copies.
  GHashTable *copies = g_hash_table_new(g_direct_hash, g_direct_equal);
  for (GList *o = src->obj_meta_list; o; o = o->next) {
    auto *src_obj = static_cast<NvDsObjectMeta *>(o->data);
    NvDsObjectMeta *obj = copy_object(dst, src_obj);
    g_hash_table_insert(copies, src_obj, obj);
    auto *parent = static_cast<NvDsObjectMeta *>(g_hash_table_lookup(copies, src_obj->parent));
    nvds_add_obj_meta_to_frame(frame, obj, parent);
  }
  g_hash_table_destroy(copies);
  for (GList *u = src->frame_user_meta_list; u; u = u->next)
    nvds_add_user_meta_to_frame(frame, copy_user_meta(dst, static_cast<NvDsUserMeta *>(u->data)));
  return frame;
}

} // namespace

extern "C" {

// Declared in nvds_standin.h, whose GStreamer headers this library, like the
// SDK's, does without.
void zarn_standin_limit_pools(guint records) {
  g_atomic_int_set(&pool_limit, static_cast<gint>(records));
}

NvDsMetaType nvds_get_user_meta_type(gchar *meta_descriptor) {
  if (!meta_descriptor)
    return NVDS_INVALID_META;
  g_mutex_lock(&registry_lock);
  auto &types = registry();
  auto found = types.find(meta_descriptor);
  NvDsMetaType type;
  if (found != types.end()) {
    type = found->second;
  } else {
    type = static_cast<NvDsMetaType>(NVDS_START_USER_META + 1 + static_cast<int>(types.size()));
    types.emplace(meta_descriptor, type);
  }
  g_mutex_unlock(&registry_lock);
  return type;
}

NvDsBatchMeta *nvds_create_batch_meta(guint max_batch_size) {
  NvDsBatchMeta *batch = g_new0(NvDsBatchMeta, 1);
  batch->base_meta.batch_meta = batch;
  batch->base_meta.meta_type = NVDS_BATCH_META;
  batch->max_frames_in_batch = max_batch_size;
  const guint max = max_batch_size ? max_batch_size : 1;
  batch->frame_meta_pool = pool_new(NVDS_FRAME_META, sizeof(NvDsFrameMeta), max);
  batch->obj_meta_pool = pool_new(NVDS_OBJ_META, sizeof(NvDsObjectMeta), max * 64);
  batch->classifier_meta_pool =
      pool_new(NVDS_CLASSIFIER_META, sizeof(NvDsClassifierMeta), max * 64);
  batch->display_meta_pool = pool_new(NVDS_DISPLAY_META, sizeof(NvDsBaseMeta), max);
  batch->user_meta_pool = pool_new(NVDS_USER_META, sizeof(NvDsUserMeta), max * 32);
  batch->label_info_meta_pool =
      pool_new(NVDS_LABEL_INFO_META, sizeof(NvDsLabelInfo), max * 64);
  g_rec_mutex_init(&batch->meta_mutex);
  return batch;
}

gboolean nvds_destroy_batch_meta(NvDsBatchMeta *batch_meta) {
  if (!batch_meta)
    return FALSE;
  // User metas first: their release callbacks may still look at the frame.
  pool_free(batch_meta->user_meta_pool);
  pool_free(batch_meta->label_info_meta_pool);
  pool_free(batch_meta->classifier_meta_pool);
  pool_free(batch_meta->obj_meta_pool);
  pool_free(batch_meta->display_meta_pool);
  pool_free(batch_meta->frame_meta_pool);
  g_list_free(batch_meta->frame_meta_list);
  g_list_free(batch_meta->batch_user_meta_list);
  g_rec_mutex_clear(&batch_meta->meta_mutex);
  g_free(batch_meta);
  return TRUE;
}

void nvds_acquire_meta_lock(NvDsBatchMeta *batch_meta) {
  g_rec_mutex_lock(&batch_meta->meta_mutex);
}

void nvds_release_meta_lock(NvDsBatchMeta *batch_meta) {
  g_rec_mutex_unlock(&batch_meta->meta_mutex);
}

NvDsFrameMeta *nvds_acquire_frame_meta_from_pool(NvDsBatchMeta *batch_meta) {
  return static_cast<NvDsFrameMeta *>(pool_acquire(batch_meta, batch_meta->frame_meta_pool));
}

NvDsObjectMeta *nvds_acquire_obj_meta_from_pool(NvDsBatchMeta *batch_meta) {
  auto *obj = static_cast<NvDsObjectMeta *>(pool_acquire(batch_meta, batch_meta->obj_meta_pool));
  if (!obj)
    return NULL;
  obj->object_id = UNTRACKED_OBJECT_ID;
  obj->class_id = -1;
  obj->unique_component_id = -1;
  return obj;
}

NvDsClassifierMeta *nvds_acquire_classifier_meta_from_pool(NvDsBatchMeta *batch_meta) {
  return static_cast<NvDsClassifierMeta *>(
      pool_acquire(batch_meta, batch_meta->classifier_meta_pool));
}

NvDsLabelInfo *nvds_acquire_label_info_meta_from_pool(NvDsBatchMeta *batch_meta) {
  return static_cast<NvDsLabelInfo *>(
      pool_acquire(batch_meta, batch_meta->label_info_meta_pool));
}

NvDsUserMeta *nvds_acquire_user_meta_from_pool(NvDsBatchMeta *batch_meta) {
  return static_cast<NvDsUserMeta *>(pool_acquire(batch_meta, batch_meta->user_meta_pool));
}

void nvds_add_frame_meta_to_batch(NvDsBatchMeta *batch_meta, NvDsFrameMeta *frame_meta) {
  batch_meta->frame_meta_list = g_list_append(batch_meta->frame_meta_list, frame_meta);
  batch_meta->num_frames_in_batch++;
}

void nvds_add_obj_meta_to_frame(NvDsFrameMeta *frame_meta, NvDsObjectMeta *obj_meta,
                                NvDsObjectMeta *obj_parent) {
  obj_meta->parent = obj_parent;
  frame_meta->obj_meta_list = g_list_append(frame_meta->obj_meta_list, obj_meta);
  frame_meta->num_obj_meta++;
}

void nvds_add_classifier_meta_to_object(NvDsObjectMeta *obj_meta,
                                        NvDsClassifierMeta *classifier_meta) {
  obj_meta->classifier_meta_list = g_list_append(obj_meta->classifier_meta_list, classifier_meta);
}

void nvds_add_label_info_meta_to_classifier(NvDsClassifierMeta *classifier_meta,
                                            NvDsLabelInfo *label_info_meta) {
  classifier_meta->label_info_list =
      g_list_append(classifier_meta->label_info_list, label_info_meta);
  classifier_meta->num_labels++;
}

void nvds_add_user_meta_to_frame(NvDsFrameMeta *frame_meta, NvDsUserMeta *user_meta) {
  frame_meta->frame_user_meta_list = g_list_append(frame_meta->frame_user_meta_list, user_meta);
}

gpointer nvds_batch_meta_copy_func(gpointer data, gpointer /*user_data*/) {
  auto *src = static_cast<NvDsBatchMeta *>(data);
  if (!src)
    return NULL;
  NvDsBatchMeta *dst = nvds_create_batch_meta(src->max_frames_in_batch);
  dst->base_meta.uContext = src->base_meta.uContext;
  dst->base_meta.copy_func = src->base_meta.copy_func;
  dst->base_meta.release_func = src->base_meta.release_func;
  std::memcpy(dst->misc_batch_info, src->misc_batch_info, sizeof(dst->misc_batch_info));
  std::memcpy(dst->reserved, src->reserved, sizeof(dst->reserved));
  nvds_acquire_meta_lock(src);
  for (GList *f = src->frame_meta_list; f; f = f->next)
    nvds_add_frame_meta_to_batch(dst, copy_frame(dst, static_cast<NvDsFrameMeta *>(f->data)));
  for (GList *u = src->batch_user_meta_list; u; u = u->next)
    dst->batch_user_meta_list = g_list_append(
        dst->batch_user_meta_list, copy_user_meta(dst, static_cast<NvDsUserMeta *>(u->data)));
  nvds_release_meta_lock(src);
  return dst;
}

void nvds_batch_meta_release_func(gpointer data, gpointer /*user_data*/) {
  nvds_destroy_batch_meta(static_cast<NvDsBatchMeta *>(data));
}

} // extern "C"
