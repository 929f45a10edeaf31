// The frame identity and dimensions records: attaching, lookup order,
// add-or-update, accessors and the console dump.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "capture.h"
#include "fixtures.h"
#include "zarnmeta.h"

namespace {

using zarn_test::new_dims;
using zarn_test::new_id;

guint count_nvds_metas(GstBuffer *buffer) {
  guint n = 0;
  gpointer state = NULL;
  while (gst_buffer_iterate_meta_filtered(buffer, &state, NVDS_META_API_TYPE))
    n++;
  return n;
}

// A batch whose frames are given as lists of user metas (type, data).
struct UserMetaSpec {
  NvDsMetaType type;
  gpointer data;
};

NvDsBatchMeta *attach_batch(GstBuffer *buffer,
                            std::initializer_list<std::initializer_list<UserMetaSpec>> frames) {
  NvDsBatchMeta *batch = nvds_create_batch_meta(1);
  int frame_num = 0;
  for (const auto &users : frames) {
    NvDsFrameMeta *frame = nvds_acquire_frame_meta_from_pool(batch);
    frame->frame_num = frame_num++;
    for (const auto &user_spec : users) {
      NvDsUserMeta *user = nvds_acquire_user_meta_from_pool(batch);
      user->base_meta.meta_type = user_spec.type;
      user->user_meta_data = user_spec.data;
      user->base_meta.release_func = [](gpointer data, gpointer) {
        auto *u = static_cast<NvDsUserMeta *>(data);
        g_free(u->user_meta_data);
      };
      nvds_add_user_meta_to_frame(frame, user);
    }
    nvds_add_frame_meta_to_batch(batch, frame);
  }
  NvDsMeta *meta = gst_buffer_add_nvds_meta(buffer, batch, NULL, nvds_batch_meta_copy_func,
                                            nvds_batch_meta_release_func);
  meta->meta_type = NVDS_BATCH_GST_META;
  return batch;
}

} // namespace

TEST(Registration, TypesAreDistinctUserTypes) {
  EXPECT_GT(NVDS_META_ID_TYPE, NVDS_START_USER_META);
  EXPECT_GT(NV_DIMS_TYPE, NVDS_START_USER_META);
  EXPECT_NE(NVDS_META_ID_TYPE, NV_DIMS_TYPE);
  EXPECT_STREQ(_NVDS_META_ID_TYPE, "NVIDIA.ID.META");
  EXPECT_STREQ(_NV_DIMS_TYPE, "NVIDIA.DIMS.META");
  EXPECT_EQ(nvds_get_user_meta_type(_NVDS_META_ID_TYPE), NVDS_META_ID_TYPE);
  EXPECT_EQ(nvds_get_user_meta_type(_NV_DIMS_TYPE), NV_DIMS_TYPE);
}

TEST(Lookup, OnlyTheLastAttachedMetaIsExamined) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  NvDsMetaId *id = new_id(7);
  NvDims *dims = new_dims(960, 540, 640, 360);
  NvDsMeta *id_meta = gst_buffer_add_nvds_id_meta(buffer, id);
  ASSERT_NE(id_meta, nullptr);
  EXPECT_EQ(id_meta->meta_type, NVDS_META_ID_TYPE);
  EXPECT_EQ(id_meta->meta_data, id);

  // Only the identity record: found.
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(buffer), id);
  EXPECT_EQ(get_id_from_id_meta(buffer), 7);
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer), nullptr);

  // The dimensions record, attached last, hides the identity record.
  NvDsMeta *dims_meta = gst_buffer_add_dims_meta(buffer, dims);
  ASSERT_NE(dims_meta, nullptr);
  EXPECT_EQ(dims_meta->meta_type, NV_DIMS_TYPE);
  EXPECT_EQ(gst_buffer_get_nvds_meta(buffer), dims_meta);
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer), dims);
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(buffer), nullptr);
  EXPECT_EQ(get_id_from_id_meta(buffer), 0);
  gst_buffer_unref(buffer);
}

TEST(Lookup, NoDeepStreamMetaFindsNothing) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(buffer), nullptr);
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer), nullptr);
  EXPECT_EQ(get_id_from_id_meta(buffer), 0);
  gst_buffer_unref(buffer);
}

TEST(Lookup, SearchesTheFramesOfABatchInOrder) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  NvDsMetaId *second = new_id(22);
  NvDsMetaId *third = new_id(33);
  NvDims *dims = new_dims(1, 2, 3, 4);
  // Frame 0: a dims record and an identity user meta without data; frame 1
  // and 2: identity records. The first one with data wins.
  attach_batch(buffer, {{{NV_DIMS_TYPE, dims}, {NVDS_META_ID_TYPE, nullptr}},
                        {{NVDS_META_ID_TYPE, second}},
                        {{NVDS_META_ID_TYPE, third}}});
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(buffer), second);
  EXPECT_EQ(get_id_from_id_meta(buffer), 22);
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer), dims);
  gst_buffer_unref(buffer);
}

TEST(Lookup, BatchWithoutTheRecordFindsNothingEvenIfABufferLevelOneExists) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  gst_buffer_add_nvds_id_meta(buffer, new_id(5));
  attach_batch(buffer, {{}});
  EXPECT_EQ(gst_buffer_get_nvds_id_meta(buffer), nullptr);
  gst_buffer_unref(buffer);
}

TEST(Attach, NotWritableBufferLeavesTheRecordWithTheCaller) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  GstBuffer *extra_ref = gst_buffer_ref(buffer);
  NvDsMetaId *id = new_id(1);
  NvDims *dims = new_dims(1, 1, 1, 1);
  EXPECT_EQ(gst_buffer_add_nvds_id_meta(buffer, id), nullptr);
  EXPECT_EQ(gst_buffer_add_dims_meta(buffer, dims), nullptr);
  EXPECT_EQ(count_nvds_metas(buffer), 0u);
  g_free(id);
  g_free(dims);
  gst_buffer_unref(extra_ref);
  gst_buffer_unref(buffer);
}

TEST(AddOrUpdate, CreatesThenUpdatesTheSameRecord) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  ASSERT_TRUE(gst_buffer_add_or_update_dims_meta(buffer, 480, 640, true));
  NvDims *dims = gst_buffer_get_dims_meta(buffer);
  ASSERT_NE(dims, nullptr);
  EXPECT_EQ(dims->start_width, 640);
  EXPECT_EQ(dims->start_height, 480);
  EXPECT_EQ(dims->end_width, 0);
  EXPECT_EQ(dims->end_height, 0);

  ASSERT_TRUE(gst_buffer_add_or_update_dims_meta(buffer, 240, 320, false));
  EXPECT_EQ(gst_buffer_get_dims_meta(buffer), dims);
  EXPECT_EQ(count_nvds_metas(buffer), 1u);
  EXPECT_EQ(dims->start_width, 640);
  EXPECT_EQ(dims->start_height, 480);
  EXPECT_EQ(dims->end_width, 320);
  EXPECT_EQ(dims->end_height, 240);
  gst_buffer_unref(buffer);
}

TEST(AddOrUpdate, UpdatesTheRecordInsideABatchFrame) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  NvDims *dims = new_dims(0, 0, 0, 0);
  attach_batch(buffer, {{{NV_DIMS_TYPE, dims}}});
  ASSERT_TRUE(gst_buffer_add_or_update_dims_meta(buffer, 360, 640, false));
  EXPECT_EQ(dims->end_width, 640);
  EXPECT_EQ(dims->end_height, 360);
  EXPECT_EQ(count_nvds_metas(buffer), 1u);
  gst_buffer_unref(buffer);
}

TEST(AddOrUpdate, NotWritableBufferFailsWithAMessage) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  GstBuffer *extra_ref = gst_buffer_ref(buffer);
  bool ok = true;
  const std::string err = zarn_test::capture(
      stderr, [&] { ok = gst_buffer_add_or_update_dims_meta(buffer, 480, 640, true); });
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Failed to add NvDims metadata to buffer.\n");
  EXPECT_EQ(count_nvds_metas(buffer), 0u);
  gst_buffer_unref(extra_ref);
  gst_buffer_unref(buffer);
}

TEST(Accessors, NullIsZeroAndSettersIgnoreIt) {
  EXPECT_EQ(get_start_width(nullptr), 0);
  EXPECT_EQ(get_start_height(nullptr), 0);
  EXPECT_EQ(get_end_width(nullptr), 0);
  EXPECT_EQ(get_end_height(nullptr), 0);
  set_start_dimensions(nullptr, 1, 2);
  set_end_dimensions(nullptr, 1, 2);

  NvDims dims = {};
  set_start_dimensions(&dims, 1920, 1080);
  set_end_dimensions(&dims, 1280, 720);
  EXPECT_EQ(get_start_width(&dims), 1920);
  EXPECT_EQ(get_start_height(&dims), 1080);
  EXPECT_EQ(get_end_width(&dims), 1280);
  EXPECT_EQ(get_end_height(&dims), 720);
}

// What print_all_meta writes for the buffer.
static std::string dump(GstBuffer *buffer) {
  return zarn_test::capture(stdout, [&] { print_all_meta(buffer); });
}

TEST(Dump, WithoutMetadata) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  EXPECT_EQ(dump(buffer), "No metadata\n");
  gst_buffer_unref(buffer);
}

TEST(Dump, BufferLevelRecords) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  gst_buffer_add_nvds_id_meta(buffer, new_id(42, 1600000000000, -3));
  EXPECT_EQ(dump(buffer),
            "Frame id 42\ntimestamp 1600000000000\ncorrected -3\n");
  // A dimensions record on top: the first meta is neither a batch nor an
  // identity record, so nothing is printed.
  gst_buffer_add_dims_meta(buffer, new_dims(1, 2, 3, 4));
  EXPECT_EQ(dump(buffer), "");
  gst_buffer_unref(buffer);
}

TEST(Dump, BatchObjectsThenUserMetasPerFrame) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  NvDsBatchMeta *batch = attach_batch(
      buffer, {{{NVDS_META_ID_TYPE, new_id(1, 100, 200)}, {NV_DIMS_TYPE, new_dims(1, 2, 3, 4)}},
               {{NVDS_META_ID_TYPE, new_id(2, 300, 0)}}});
  auto *frame0 = static_cast<NvDsFrameMeta *>(batch->frame_meta_list->data);
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  obj->rect_params.left = 10.9f;
  obj->rect_params.top = -2.7f;
  obj->rect_params.height = 40.0f;
  obj->rect_params.width = 30.5f;
  obj->confidence = 0.75f;
  nvds_add_obj_meta_to_frame(frame0, obj, NULL);
  NvDsObjectMeta *odd = nvds_acquire_obj_meta_from_pool(batch);
  odd->rect_params.left = NAN;
  odd->rect_params.top = INFINITY;
  odd->rect_params.height = -1e20f;
  odd->rect_params.width = 3e9f;
  odd->confidence = -0.5f;
  nvds_add_obj_meta_to_frame(frame0, odd, NULL);

  EXPECT_EQ(dump(buffer),
            "left 10\ntop -2\nheight 40\nwidth 30\nconfidence 0\n"
            "left 0\ntop 2147483647\nheight -2147483648\nwidth 2147483647\nconfidence 0\n"
            "Frame id 1\ntimestamp 100\ncorrected 200\n"
            "Another user meta\n"
            "Frame id 2\ntimestamp 300\ncorrected 0\n");
  gst_buffer_unref(buffer);
}
