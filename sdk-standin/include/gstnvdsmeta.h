/*
 * Stand-in for the DeepStream GStreamer metadata header: NvDsMeta, the
 * GstMeta that carries DeepStream data on a buffer. See nvdsmeta.h for why
 * the project carries its own.
 */
#ifndef GST_NVDS_META_API_H
#define GST_NVDS_META_API_H

/* The SDK's header includes these too: code built against the stand-in
 * needs what it needs against the SDK. */
#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include "nvdsmeta.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NVDS_META_STRING "nvdsmeta"

typedef enum {
  NVDS_GST_INVALID_META = -1,
  NVDS_BATCH_GST_META = NVDS_GST_CUSTOM_META + 1,
  NVDS_DECODER_GST_META,
  NVDS_DEWARPER_GST_META,
  NVDS_RESERVED_GST_META = NVDS_GST_CUSTOM_META + 4096,
  NVDS_GST_META_FORCE32 = 0x7FFFFFFF
} GstNvDsMetaType;

typedef struct _NvDsMeta {
  GstMeta meta;
  gpointer meta_data;
  gpointer user_data;
  gint meta_type;
  NvDsMetaCopyFunc copyfunc;
  NvDsMetaReleaseFunc freefunc;
  /* Called by the stream muxer with an NvDsUserMeta when it turns this
   * buffer-level meta into per-frame user meta of the same meta_type. */
  NvDsMetaCopyFunc gst_to_nvds_meta_transform_func;
  NvDsMetaReleaseFunc gst_to_nvds_meta_release_func;
} NvDsMeta;

GType nvds_meta_api_get_type(void);
#define NVDS_META_API_TYPE (nvds_meta_api_get_type())

const GstMetaInfo *nvds_meta_get_info(void);
#define NVDS_META_INFO (nvds_meta_get_info())

/* NULL when the buffer is not writable; the caller then keeps the data. */
NvDsMeta *gst_buffer_add_nvds_meta(GstBuffer *buffer, gpointer meta_data, gpointer user_data,
                                   NvDsMetaCopyFunc copy_func,
                                   NvDsMetaReleaseFunc release_func);

/* The first NvDsMeta of the buffer: the one attached last. */
NvDsMeta *gst_buffer_get_nvds_meta(GstBuffer *buffer);

/* The batch carried by the buffer, or NULL. */
NvDsBatchMeta *gst_buffer_get_nvds_batch_meta(GstBuffer *buffer);

#ifdef __cplusplus
}
#endif

#endif /* GST_NVDS_META_API_H */
