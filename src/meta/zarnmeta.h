/*
 * The project's two per-frame records, a frame identity record and a
 * dimensions record, carried as DeepStream user metadata; their type values,
 * attaching, lookup, accessors and a console dump.
 *
 * Both plug-ins link this library and export these names, so other elements
 * of a pipeline can attach and find the records through either of them.
 */
#ifndef ZARNMETA_H
#define ZARNMETA_H

#include <gst/gst.h>
#include <stdbool.h>
#include <stdint.h>

#include "gstnvdsmeta.h"
#include "nvdsmeta.h"

/* Names that the plug-ins export for other elements; everything else in
 * them stays hidden. */
#define ZARN_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Frame identity: an identifier and three timestamps. A timestamp of 0 means
 * "not set". */
typedef struct _NvDsMetaId {
  int64_t id;
  int64_t received;  /* ms since the Unix epoch */
  int64_t img_pts;
  int64_t corrected;
  int64_t reserved;  /* carried along by every copy, otherwise unused */
} NvDsMetaId;

/* Source resolution and resolution after the stream muxer. A pair with a 0
 * in either half counts as not set. */
typedef struct _NvDims {
  int64_t start_width;
  int64_t start_height;
  int64_t end_width;
  int64_t end_height;
} NvDims;

/* Type values, obtained from the descriptors below when the library loads;
 * every library of the process gets the same values. */
extern ZARN_EXPORT NvDsMetaType NVDS_META_ID_TYPE;
extern ZARN_EXPORT NvDsMetaType NV_DIMS_TYPE;
extern ZARN_EXPORT char _NVDS_META_ID_TYPE[];
extern ZARN_EXPORT char _NV_DIMS_TYPE[];

/* Attach a record as buffer-level DeepStream metadata; the buffer then owns
 * it. NULL (and the record stays with the caller) when the buffer is not
 * writable. */
ZARN_EXPORT NvDsMeta *gst_buffer_add_nvds_id_meta(GstBuffer *buffer, NvDsMetaId *meta);
ZARN_EXPORT NvDsMeta *gst_buffer_add_dims_meta(GstBuffer *buffer, NvDims *meta);

/* Lookups look only at the buffer's first DeepStream meta (the one attached
 * last); when that is a batch, they search its frames' user metas in order. */
ZARN_EXPORT NvDsMetaId *gst_buffer_get_nvds_id_meta(GstBuffer *buffer);
ZARN_EXPORT int64_t get_id_from_id_meta(GstBuffer *buffer);
ZARN_EXPORT NvDims *gst_buffer_get_dims_meta(GstBuffer *buffer);

/* Sets one pair of the buffer's dimensions record, attaching a new record
 * when the lookup finds none. Note the order: height first, then width. */
ZARN_EXPORT bool gst_buffer_add_or_update_dims_meta(GstBuffer *buffer, int64_t height,
                                                    int64_t width, bool is_start);

ZARN_EXPORT void set_start_dimensions(NvDims *dims, int64_t width, int64_t height);
ZARN_EXPORT void set_end_dimensions(NvDims *dims, int64_t width, int64_t height);
ZARN_EXPORT int64_t get_start_width(const NvDims *dims);
ZARN_EXPORT int64_t get_start_height(const NvDims *dims);
ZARN_EXPORT int64_t get_end_width(const NvDims *dims);
ZARN_EXPORT int64_t get_end_height(const NvDims *dims);

/* Prints the buffer's metadata to standard output. */
ZARN_EXPORT void print_all_meta(GstBuffer *buffer);

#ifdef __cplusplus
}
#endif

#endif /* ZARNMETA_H */
