// Demo and test stand-ins for the pipeline stages around the two plug-ins.
// Not part of the deliverables and never installed.
#ifndef ZARNDEMO_H
#define ZARNDEMO_H

#include <gst/base/gstbasetransform.h>
#include <gst/gst.h>

G_BEGIN_DECLS

// What the user's upstream element does: an identity record (a running id
// and the reception time) and a dimensions record on every buffer.
GType zarn_demo_records_get_type(void);
// What the SDK's stream muxer does with them: a batch of one frame.
GType zarn_demo_streammux_get_type(void);
// A synthetic detector, tracker and two classifiers with deterministic
// output per frame.
GType zarn_demo_detector_get_type(void);
// Writes one line per buffer: payload checksum and a canonical description
// of the metadata, for comparing sender and receiver.
GType zarn_demo_tap_get_type(void);
// Draws the restored objects onto BGRx frames.
GType zarn_demo_overlay_get_type(void);
// Writes a few frames spread over the stream as one PNG.
GType zarn_demo_sheet_get_type(void);

G_END_DECLS

#endif
