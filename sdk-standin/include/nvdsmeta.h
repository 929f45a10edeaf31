/*
 * Stand-in for the DeepStream metadata library header (batch, frame, object,
 * classifier, label and user metadata, their pools and list insertion).
 *
 * The SDK cannot be installed on development and CI machines, so this project
 * carries a small implementation of the part of the API it uses. Type, field
 * and function names are the SDK's, so that the plug-ins build unchanged
 * against either this header or the SDK's own.
 */
#ifndef NVDSMETA_H
#define NVDSMETA_H

#include <glib.h>
#include <gmodule.h>

#include "nvll_osd_struct.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MAX_LABEL_SIZE 128
#define MAX_USER_FIELDS 4
#define MAX_RESERVED_FIELDS 4
#define UNTRACKED_OBJECT_ID 0xFFFFFFFFFFFFFFFF

typedef GList NvDsFrameMetaList;
typedef GList NvDsObjectMetaList;
typedef GList NvDsClassifierMetaList;
typedef GList NvDsLabelInfoList;
typedef GList NvDsUserMetaList;
typedef GList NvDisplayMetaList;
typedef GList NvDsMetaList;

typedef void NvDsElementMeta;

typedef enum {
  NVDS_INVALID_META = -1,
  NVDS_BATCH_META = 1,
  NVDS_FRAME_META,
  NVDS_OBJ_META,
  NVDS_DISPLAY_META,
  NVDS_CLASSIFIER_META,
  NVDS_LABEL_INFO_META,
  NVDS_USER_META,
  NVDS_RESERVED_META = 4095,
  /* Types of GStreamer buffer metas start here (see gstnvdsmeta.h). */
  NVDS_GST_CUSTOM_META = 4096,
  /* Values handed out by nvds_get_user_meta_type lie above this one. */
  NVDS_START_USER_META = NVDS_GST_CUSTOM_META + 4096 + 1,
  NVDS_FORCE32_META = 0x7FFFFFFF
} NvDsMetaType;

typedef gpointer (*NvDsMetaCopyFunc)(gpointer data, gpointer user_data);
typedef void (*NvDsMetaReleaseFunc)(gpointer data, gpointer user_data);

struct _NvDsBatchMeta;

typedef struct _NvDsBaseMeta {
  struct _NvDsBatchMeta *batch_meta;
  NvDsMetaType meta_type;
  void *uContext;
  NvDsMetaCopyFunc copy_func;
  NvDsMetaReleaseFunc release_func;
} NvDsBaseMeta;

/* A pool hands out records of one kind that belong to its batch. The
 * stand-in allocates each record on demand and frees every record it handed
 * out when the batch is released, so a pool never runs dry. */
typedef struct _NvDsMetaPool {
  NvDsMetaType meta_type;
  guint max_elements_in_pool;
  guint element_size;
  guint num_empty_elements;
  guint num_full_elements;
  NvDsMetaList *empty_list;
  NvDsMetaList *full_list;
  NvDsMetaCopyFunc copy_func;
  NvDsMetaReleaseFunc release_func;
} NvDsMetaPool;

typedef struct _NvBbox_Coords {
  float left;
  float top;
  float width;
  float height;
} NvBbox_Coords;

typedef struct _NvDsComp_BboxInfo {
  NvBbox_Coords org_bbox_coords;
} NvDsComp_BboxInfo;

typedef struct _NvDsUserMeta {
  NvDsBaseMeta base_meta;
  void *user_meta_data;
} NvDsUserMeta;

typedef struct _NvDsLabelInfo {
  NvDsBaseMeta base_meta;
  guint num_classes;
  gchar result_label[MAX_LABEL_SIZE];
  gchar *pResult_label;
  guint result_class_id;
  guint label_id;
  gfloat result_prob;
} NvDsLabelInfo;

typedef struct _NvDsClassifierMeta {
  NvDsBaseMeta base_meta;
  guint num_labels;
  gint unique_component_id;
  NvDsLabelInfoList *label_info_list;
  const gchar *classifier_type;
} NvDsClassifierMeta;

typedef struct _NvDsObjectMeta {
  NvDsBaseMeta base_meta;
  struct _NvDsObjectMeta *parent;
  gint unique_component_id;
  gint class_id;
  guint64 object_id;
  NvDsComp_BboxInfo detector_bbox_info;
  NvDsComp_BboxInfo tracker_bbox_info;
  gfloat confidence;
  gfloat tracker_confidence;
  NvOSD_RectParams rect_params;
  NvOSD_MaskParams mask_params;
  NvOSD_TextParams text_params;
  gchar obj_label[MAX_LABEL_SIZE];
  NvDsClassifierMetaList *classifier_meta_list;
  NvDsUserMetaList *obj_user_meta_list;
  gint64 misc_obj_info[MAX_USER_FIELDS];
  gint64 reserved[MAX_RESERVED_FIELDS];
} NvDsObjectMeta;

typedef struct _NvDsFrameMeta {
  NvDsBaseMeta base_meta;
  guint pad_index;
  guint batch_id;
  gint frame_num;
  guint64 buf_pts;
  guint64 ntp_timestamp;
  guint source_id;
  gint num_surfaces_per_frame;
  guint source_frame_width;
  guint source_frame_height;
  guint surface_type;
  guint surface_index;
  guint num_obj_meta;
  gboolean bInferDone;
  NvDsObjectMetaList *obj_meta_list;
  NvDisplayMetaList *display_meta_list;
  NvDsUserMetaList *frame_user_meta_list;
  gint64 misc_frame_info[MAX_USER_FIELDS];
  gint64 reserved[MAX_RESERVED_FIELDS];
} NvDsFrameMeta;

typedef struct _NvDsBatchMeta {
  NvDsBaseMeta base_meta;
  guint max_frames_in_batch;
  guint num_frames_in_batch;
  NvDsMetaPool *frame_meta_pool;
  NvDsMetaPool *obj_meta_pool;
  NvDsMetaPool *classifier_meta_pool;
  NvDsMetaPool *display_meta_pool;
  NvDsMetaPool *user_meta_pool;
  NvDsMetaPool *label_info_meta_pool;
  NvDsFrameMetaList *frame_meta_list;
  NvDsUserMetaList *batch_user_meta_list;
  GRecMutex meta_mutex;
  gint64 misc_batch_info[MAX_USER_FIELDS];
  gint64 reserved[MAX_RESERVED_FIELDS];
} NvDsBatchMeta;

/* One value per descriptor in the whole process; the same descriptor always
 * yields the same value. */
NvDsMetaType nvds_get_user_meta_type(gchar *meta_descriptor);

NvDsBatchMeta *nvds_create_batch_meta(guint max_batch_size);
gboolean nvds_destroy_batch_meta(NvDsBatchMeta *batch_meta);

void nvds_acquire_meta_lock(NvDsBatchMeta *batch_meta);
void nvds_release_meta_lock(NvDsBatchMeta *batch_meta);

NvDsFrameMeta *nvds_acquire_frame_meta_from_pool(NvDsBatchMeta *batch_meta);
NvDsObjectMeta *nvds_acquire_obj_meta_from_pool(NvDsBatchMeta *batch_meta);
NvDsClassifierMeta *nvds_acquire_classifier_meta_from_pool(NvDsBatchMeta *batch_meta);
NvDsLabelInfo *nvds_acquire_label_info_meta_from_pool(NvDsBatchMeta *batch_meta);
NvDsUserMeta *nvds_acquire_user_meta_from_pool(NvDsBatchMeta *batch_meta);

void nvds_add_frame_meta_to_batch(NvDsBatchMeta *batch_meta, NvDsFrameMeta *frame_meta);
void nvds_add_obj_meta_to_frame(NvDsFrameMeta *frame_meta, NvDsObjectMeta *obj_meta,
                                NvDsObjectMeta *obj_parent);
void nvds_add_classifier_meta_to_object(NvDsObjectMeta *obj_meta,
                                        NvDsClassifierMeta *classifier_meta);
void nvds_add_label_info_meta_to_classifier(NvDsClassifierMeta *classifier_meta,
                                            NvDsLabelInfo *label_info_meta);
void nvds_add_user_meta_to_frame(NvDsFrameMeta *frame_meta, NvDsUserMeta *user_meta);

/* Copy and release a whole batch: the callbacks of the NvDsMeta that carries
 * it. */
gpointer nvds_batch_meta_copy_func(gpointer data, gpointer user_data);
void nvds_batch_meta_release_func(gpointer data, gpointer user_data);

#ifdef __cplusplus
}
#endif

#endif /* NVDSMETA_H */
