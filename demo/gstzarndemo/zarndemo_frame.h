// What the demo's detector, overlay and the picture test share about a
// frame of the batch: its size after the stream muxer (where object boxes
// live) and the colour each kind of object is drawn in.
#ifndef ZARNDEMO_FRAME_H
#define ZARNDEMO_FRAME_H

#include <cstring>

#include "gstnvdsmeta.h"
#include "zarnmeta.h"

// The frame's dimensions record (a frame user meta) gives the size after
// the stream muxer; false when it has none.
static inline bool zarn_demo_mux_size(const NvDsFrameMeta *frame, double *width,
                                      double *height) {
  for (GList *u = frame->frame_user_meta_list; u; u = u->next) {
    auto *user = static_cast<const NvDsUserMeta *>(u->data);
    if (user->base_meta.meta_type != NV_DIMS_TYPE || !user->user_meta_data)
      continue;
    auto *dims = static_cast<const NvDims *>(user->user_meta_data);
    if (dims->end_width <= 0 || dims->end_height <= 0)
      return false;
    *width = static_cast<double>(dims->end_width);
    *height = static_cast<double>(dims->end_height);
    return true;
  }
  return false;
}

struct ZarnDemoColour {
  guint8 r, g, b;
};

// One colour per kind of object the demo's detector reports.
static inline ZarnDemoColour zarn_demo_colour(const char *label) {
  if (std::strcmp(label, "ball") == 0)
    return {255, 0, 255};
  if (std::strcmp(label, "car") == 0)
    return {255, 40, 40};
  if (std::strcmp(label, "person") == 0)
    return {40, 255, 40};
  if (std::strcmp(label, "bicycle") == 0)
    return {40, 120, 255};
  if (std::strcmp(label, "truck") == 0)
    return {255, 220, 0};
  return {0, 255, 255};
}

#endif
