/*
 * Helpers of the SDK stand-in that have no SDK function of their own: they do
 * what SDK elements do, so that tests and the demo can produce realistic
 * input without the SDK. Not part of the SDK's API; never call them from the
 * plug-ins.
 */
#ifndef NVDS_STANDIN_H
#define NVDS_STANDIN_H

#include "gstnvdsmeta.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * What the stream muxer does with the buffer-level records of a frame: makes
 * a batch of one frame (frame_num as given) for the buffer, turns every
 * NvDsMeta of a user type on it into a frame user meta of the same type
 * through the meta's gst_to_nvds_meta_transform_func and
 * gst_to_nvds_meta_release_func, removes those buffer-level metas (the real
 * muxer's output buffer does not carry them) and attaches the batch last.
 * Returns the batch, or NULL when the buffer is not writable.
 */
NvDsBatchMeta *zarn_standin_streammux_buffer(GstBuffer *buffer, gint frame_num);

/*
 * The SDK's pools have a size, and an acquisition from a pool that ran dry
 * returns NULL. The stand-in's pools grow on demand unless this is set: then
 * each pool hands out at most `records` records (0, the default, lifts the
 * limit). Process-wide, for tests of what the plug-ins do with a dry pool.
 */
void zarn_standin_limit_pools(guint records);

#ifdef __cplusplus
}
#endif

#endif /* NVDS_STANDIN_H */
