// The SDK stand-in: type registry, pools, deep copy and release of batches,
// and the stream muxer's carrying of buffer-level records into a batch.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

#include "nvds_standin.h"
#include "zarnmeta.h"

namespace {

int released_user_data = 0;

gpointer copy_int(gpointer data, gpointer) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  return g_memdup(user->user_meta_data, sizeof(int));
}

void release_int(gpointer data, gpointer) {
  auto *user = static_cast<NvDsUserMeta *>(data);
  if (user->user_meta_data)
    released_user_data++;
  g_free(user->user_meta_data);
  user->user_meta_data = NULL;
}

NvDsUserMeta *int_user_meta(NvDsBatchMeta *batch, int value) {
  NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(batch);
  user->base_meta.meta_type = nvds_get_user_meta_type(const_cast<gchar *>("TEST.INT.META"));
  user->base_meta.copy_func = copy_int;
  user->base_meta.release_func = release_int;
  user->user_meta_data = g_memdup(&value, sizeof value);
  return user;
}

// Two frames; the first with two objects (one with two classifiers and a
// child object), the second with none; user metas on frames, objects and
// the batch.
NvDsBatchMeta *full_batch() {
  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  nvds_acquire_meta_lock(batch);
  for (int f = 0; f < 2; f++) {
    NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
    frame->frame_num = 10 + f;
    frame->source_id = 3;
    for (int o = 0; f == 0 && o < 2; o++) {
      NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
      obj->rect_params.left = 1.5f + o;
      obj->confidence = 0.25f;
      obj->object_id = 0xFFFFFFFF00000001ull + o;
      obj->tracker_bbox_info.org_bbox_coords.top = 7.0f;
      g_strlcpy(obj->obj_label, o ? "person" : "car", MAX_LABEL_SIZE);
      obj->text_params.display_text = g_strdup(o ? "person 2" : "car 1");
      for (int c = 0; o == 0 && c < 2; c++) {
        NvDsClassifierMeta *cls = nvds_acquire_classifier_meta_from_pool(batch);
        cls->unique_component_id = 5 + c;
        NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
        g_strlcpy(label->result_label, c ? "sedan" : "red", MAX_LABEL_SIZE);
        label->result_prob = 0.5f + c;
        nvds_add_label_info_meta_to_classifier(cls, label);
        nvds_add_classifier_meta_to_object(obj, cls);
      }
      if (o == 0)
        obj->obj_user_meta_list = g_list_append(obj->obj_user_meta_list, int_user_meta(batch, 7));
      NvDsObjectMeta *parent =
          o ? static_cast<NvDsObjectMeta *>(frame->obj_meta_list->data) : NULL;
      nvds_add_obj_meta_to_frame(frame, obj, parent);
    }
    nvds_add_user_meta_to_frame(frame, int_user_meta(batch, 100 + f));
    nvds_add_frame_meta_to_batch(batch, frame);
  }
  batch->batch_user_meta_list = g_list_append(batch->batch_user_meta_list, int_user_meta(batch, 9));
  nvds_release_meta_lock(batch);
  return batch;
}

void attach(GstBuffer *buffer, NvDsBatchMeta *batch) {
  NvDsMeta *meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                            nvds_batch_meta_release_func);
  ASSERT_NE(meta, nullptr);
  meta->meta_type = NVDS_BATCH_GST_META;
}

int user_int(GList *node) {
  return *static_cast<int *>(static_cast<NvDsUserMeta *>(node->data)->user_meta_data);
}

template <typename T> T *nth(GList *list, guint n) {
  return static_cast<T *>(g_list_nth_data(list, n));
}

// Checks that `copy` equals `orig` field by field and shares no record or
// string with it.
void expect_deep_copy(NvDsBatchMeta *orig, NvDsBatchMeta *copy) {
  ASSERT_NE(copy, orig);
  EXPECT_EQ(copy->base_meta.batch_meta, copy);
  ASSERT_EQ(g_list_length(copy->frame_meta_list), 2u);
  EXPECT_EQ(copy->num_frames_in_batch, 2u);
  for (guint f = 0; f < 2; f++) {
    NvDsFrameMeta *a = nth<NvDsFrameMeta>(orig->frame_meta_list, f);
    NvDsFrameMeta *b = nth<NvDsFrameMeta>(copy->frame_meta_list, f);
    EXPECT_NE(a, b);
    EXPECT_EQ(b->base_meta.batch_meta, copy);
    EXPECT_EQ(b->frame_num, a->frame_num);
    EXPECT_EQ(b->source_id, a->source_id);
    ASSERT_EQ(g_list_length(b->obj_meta_list), g_list_length(a->obj_meta_list));
    EXPECT_EQ(b->num_obj_meta, a->num_obj_meta);
    ASSERT_EQ(g_list_length(b->frame_user_meta_list), 1u);
    EXPECT_NE(b->frame_user_meta_list->data, a->frame_user_meta_list->data);
    EXPECT_EQ(user_int(b->frame_user_meta_list), 100 + static_cast<int>(f));
    for (guint o = 0; o < g_list_length(a->obj_meta_list); o++) {
      NvDsObjectMeta *x = nth<NvDsObjectMeta>(a->obj_meta_list, o);
      NvDsObjectMeta *y = nth<NvDsObjectMeta>(b->obj_meta_list, o);
      EXPECT_NE(x, y);
      EXPECT_EQ(y->rect_params.left, x->rect_params.left);
      EXPECT_EQ(y->confidence, x->confidence);
      EXPECT_EQ(y->object_id, x->object_id);
      EXPECT_EQ(y->tracker_bbox_info.org_bbox_coords.top, 7.0f);
      EXPECT_STREQ(y->obj_label, x->obj_label);
      EXPECT_NE(y->text_params.display_text, x->text_params.display_text);
      EXPECT_STREQ(y->text_params.display_text, x->text_params.display_text);
      ASSERT_EQ(g_list_length(y->classifier_meta_list), g_list_length(x->classifier_meta_list));
      for (guint c = 0; c < g_list_length(x->classifier_meta_list); c++) {
        NvDsClassifierMeta *cx = nth<NvDsClassifierMeta>(x->classifier_meta_list, c);
        NvDsClassifierMeta *cy = nth<NvDsClassifierMeta>(y->classifier_meta_list, c);
        EXPECT_NE(cx, cy);
        EXPECT_EQ(cy->unique_component_id, cx->unique_component_id);
        ASSERT_EQ(g_list_length(cy->label_info_list), 1u);
        NvDsLabelInfo *lx = nth<NvDsLabelInfo>(cx->label_info_list, 0);
        NvDsLabelInfo *ly = nth<NvDsLabelInfo>(cy->label_info_list, 0);
        EXPECT_NE(lx, ly);
        EXPECT_STREQ(ly->result_label, lx->result_label);
        EXPECT_EQ(ly->result_prob, lx->result_prob);
      }
      EXPECT_EQ(g_list_length(y->obj_user_meta_list), g_list_length(x->obj_user_meta_list));
    }
    if (f == 0) {
      // The child's parent is the copy of the original's parent.
      EXPECT_EQ(nth<NvDsObjectMeta>(b->obj_meta_list, 1)->parent,
                nth<NvDsObjectMeta>(b->obj_meta_list, 0));
      EXPECT_EQ(user_int(nth<NvDsObjectMeta>(b->obj_meta_list, 0)->obj_user_meta_list), 7);
    }
  }
  ASSERT_EQ(g_list_length(copy->batch_user_meta_list), 1u);
  EXPECT_EQ(user_int(copy->batch_user_meta_list), 9);
}

} // namespace

TEST(Registry, OneValuePerDescriptor) {
  gchar a[] = "TEST.REGISTRY.A";
  gchar b[] = "TEST.REGISTRY.B";
  const NvDsMetaType ta = nvds_get_user_meta_type(a);
  const NvDsMetaType tb = nvds_get_user_meta_type(b);
  EXPECT_GT(ta, NVDS_START_USER_META);
  EXPECT_NE(ta, tb);
  gchar a_again[] = "TEST.REGISTRY.A";
  EXPECT_EQ(nvds_get_user_meta_type(a_again), ta);
  EXPECT_EQ(nvds_get_user_meta_type(NULL), NVDS_INVALID_META);
}

TEST(Registry, TwoLibrariesInOneProcessAgree) {
  const char *paths[] = {std::getenv("REGISTRY_PROBE_A"), std::getenv("REGISTRY_PROBE_B")};
  int id_types[2];
  int dims_types[2];
  void *handles[2];
  for (int i = 0; i < 2; i++) {
    ASSERT_NE(paths[i], nullptr) << "REGISTRY_PROBE_A/B not set";
    handles[i] = dlopen(paths[i], RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handles[i], nullptr) << dlerror();
    auto id_fn = reinterpret_cast<int (*)()>(dlsym(handles[i], "registry_probe_id_type"));
    auto dims_fn = reinterpret_cast<int (*)()>(dlsym(handles[i], "registry_probe_dims_type"));
    ASSERT_NE(id_fn, nullptr);
    ASSERT_NE(dims_fn, nullptr);
    id_types[i] = id_fn();
    dims_types[i] = dims_fn();
  }
  // Each library holds its own globals, set at its own load.
  EXPECT_NE(dlsym(handles[0], "NVDS_META_ID_TYPE"), dlsym(handles[1], "NVDS_META_ID_TYPE"));
  EXPECT_EQ(id_types[0], id_types[1]);
  EXPECT_EQ(dims_types[0], dims_types[1]);
  EXPECT_EQ(id_types[0], NVDS_META_ID_TYPE);
  EXPECT_EQ(dims_types[0], NV_DIMS_TYPE);
  EXPECT_NE(id_types[0], dims_types[0]);
  for (void *h : handles)
    dlclose(h);
}

TEST(Attach, ReturnsNullOnANotWritableBuffer) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  GstBuffer *ref = gst_buffer_ref(buffer);
  int data = 0;
  EXPECT_EQ(gst_buffer_add_nvds_meta(buffer, &data, NULL, NULL, NULL), nullptr);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), nullptr);
  gst_buffer_unref(ref);
  gst_buffer_unref(buffer);
}

TEST(Attach, FirstMetaIsTheLastAttachedAndCarriesTheTag) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  int a = 1, b = 2;
  NvDsMeta *first = gst_buffer_add_nvds_meta(buffer, &a, NULL, NULL, NULL);
  NvDsMeta *second = gst_buffer_add_nvds_meta(buffer, &b, NULL, NULL, NULL);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), second);
  EXPECT_NE(first, second);
  EXPECT_TRUE(gst_meta_api_type_has_tag(NVDS_META_API_TYPE,
                                        g_quark_from_static_string("nvdsmeta")));
  gst_buffer_unref(buffer);
}

TEST(Attach, BatchAttachedLastIsAlwaysFound) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  EXPECT_EQ(gst_buffer_get_nvds_batch_meta(buffer), nullptr);
  NvDsBatchMeta *older = nvds_create_batch_meta(1);
  attach(buffer, older);
  gst_buffer_add_nvds_id_meta(buffer, g_new0(NvDsMetaId, 1));
  EXPECT_EQ(gst_buffer_get_nvds_batch_meta(buffer), older);
  NvDsBatchMeta *newer = nvds_create_batch_meta(1);
  attach(buffer, newer);
  EXPECT_EQ(gst_buffer_get_nvds_batch_meta(buffer), newer);
  gst_buffer_unref(buffer);
}

TEST(Pools, HandOutAsManyRecordsAsAskedBeyondTheFrameMaximum) {
  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  nvds_acquire_meta_lock(batch);
  GHashTable *seen = g_hash_table_new(g_direct_hash, g_direct_equal);
  for (int f = 0; f < 50; f++) {
    NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->base_meta.batch_meta, batch);
    EXPECT_EQ(frame->obj_meta_list, nullptr);
    g_hash_table_add(seen, frame);
    for (int o = 0; o < 100; o++) {
      NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
      EXPECT_EQ(obj->text_params.display_text, nullptr);
      EXPECT_EQ(obj->obj_label[0], '\0');
      g_hash_table_add(seen, obj);
      nvds_add_obj_meta_to_frame(frame, obj, NULL);
    }
    nvds_add_frame_meta_to_batch(batch, frame);
  }
  nvds_release_meta_lock(batch);
  EXPECT_EQ(g_hash_table_size(seen), 50u * 101u);
  EXPECT_EQ(batch->num_frames_in_batch, 50u);
  EXPECT_EQ(batch->max_frames_in_batch, 1u);
  // Insertion order is kept.
  EXPECT_EQ(g_list_position(batch->frame_meta_list, g_list_last(batch->frame_meta_list)), 49);
  g_hash_table_destroy(seen);
  nvds_destroy_batch_meta(batch);
}

TEST(BatchCopy, BufferCopyDeepCopiesEveryLevelAndReleasesIt) {
  released_user_data = 0;
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  NvDsBatchMeta *orig = full_batch();
  attach(buffer, orig);

  GstBuffer *copy = gst_buffer_copy(buffer);
  NvDsBatchMeta *copied = gst_buffer_get_nvds_batch_meta(copy);
  ASSERT_NE(copied, nullptr);
  expect_deep_copy(orig, copied);

  // Freeing the original releases every user meta of it (4 with data) and
  // leaves the copy intact; ASan reports any use after free.
  gst_buffer_unref(buffer);
  EXPECT_EQ(released_user_data, 4);
  NvDsFrameMeta *frame = nth<NvDsFrameMeta>(copied->frame_meta_list, 0);
  EXPECT_STREQ(nth<NvDsObjectMeta>(frame->obj_meta_list, 1)->text_params.display_text,
               "person 2");
  gst_buffer_unref(copy);
  EXPECT_EQ(released_user_data, 8);
}

TEST(BatchCopy, MakeWritableCopiesASharedBuffer) {
  released_user_data = 0;
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  NvDsBatchMeta *orig = full_batch();
  attach(buffer, orig);
  GstBuffer *shared = gst_buffer_ref(buffer);
  GstBuffer *writable = gst_buffer_make_writable(shared);
  ASSERT_NE(writable, buffer);
  expect_deep_copy(orig, gst_buffer_get_nvds_batch_meta(writable));
  gst_buffer_unref(writable);
  gst_buffer_unref(buffer);
  EXPECT_EQ(released_user_data, 8);
}

TEST(StreamMux, CarriesBothRecordsIntoFrameUserMeta) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  NvDsMetaId *id = g_new0(NvDsMetaId, 1);
  *id = NvDsMetaId{42, 1600000000000, 3, 4, 5};
  NvDims *dims = g_new0(NvDims, 1);
  *dims = NvDims{960, 540, 640, 360};
  gst_buffer_add_nvds_id_meta(buffer, id);
  gst_buffer_add_dims_meta(buffer, dims);

  NvDsBatchMeta *batch = zarn_standin_streammux_buffer(buffer, 7);
  ASSERT_NE(batch, nullptr);
  // The batch is now the only DeepStream meta of the buffer.
  NvDsMeta *first = gst_buffer_get_nvds_meta(buffer);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->meta_type, NVDS_BATCH_GST_META);
  EXPECT_EQ(first->meta_data, batch);
  guint nvds_metas = 0;
  gpointer state = NULL;
  while (gst_buffer_iterate_meta_filtered(buffer, &state, NVDS_META_API_TYPE))
    nvds_metas++;
  EXPECT_EQ(nvds_metas, 1u);

  ASSERT_EQ(g_list_length(batch->frame_meta_list), 1u);
  auto *frame = static_cast<NvDsFrameMeta *>(batch->frame_meta_list->data);
  EXPECT_EQ(frame->frame_num, 7);
  ASSERT_EQ(g_list_length(frame->frame_user_meta_list), 2u);
  bool saw_id = false, saw_dims = false;
  for (GList *u = frame->frame_user_meta_list; u; u = u->next) {
    auto *user = static_cast<NvDsUserMeta *>(u->data);
    if (user->base_meta.meta_type == NVDS_META_ID_TYPE) {
      saw_id = true;
      auto *copy = static_cast<NvDsMetaId *>(user->user_meta_data);
      EXPECT_NE(copy, id);
      const NvDsMetaId expected{42, 1600000000000, 3, 4, 5};
      EXPECT_EQ(std::memcmp(copy, &expected, sizeof *copy), 0);
    } else if (user->base_meta.meta_type == NV_DIMS_TYPE) {
      saw_dims = true;
      auto *copy = static_cast<NvDims *>(user->user_meta_data);
      EXPECT_EQ(copy->start_width, 960);
      EXPECT_EQ(copy->end_height, 360);
    }
  }
  EXPECT_TRUE(saw_id);
  EXPECT_TRUE(saw_dims);
  // The record lookups now find them inside the batch.
  EXPECT_EQ(get_id_from_id_meta(buffer), 42);
  ASSERT_NE(gst_buffer_get_dims_meta(buffer), nullptr);
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer)->start_height, 540);

  // A copy of the buffer carries the records too, through their user meta
  // copy callbacks.
  GstBuffer *copy = gst_buffer_copy(buffer);
  EXPECT_EQ(get_id_from_id_meta(copy), 42);
  EXPECT_NE(gst_buffer_get_nvds_id_meta(copy), gst_buffer_get_nvds_id_meta(buffer));
  gst_buffer_unref(copy);
  gst_buffer_unref(buffer);
}

TEST(StreamMux, RefusesANotWritableBuffer) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 8, NULL);
  GstBuffer *ref = gst_buffer_ref(buffer);
  EXPECT_EQ(zarn_standin_streammux_buffer(buffer, 0), nullptr);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), nullptr);
  gst_buffer_unref(ref);
  gst_buffer_unref(buffer);
}
