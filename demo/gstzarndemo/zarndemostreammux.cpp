// zarndemostreammux: turns each buffer into a batch of one frame, carrying
// the buffer-level records into frame user meta, as the SDK's stream muxer
// does.

#include "nvds_standin.h"
#include "zarndemo.h"
#include "zarndemo_element.h"

struct ZarnDemoStreammux {
  GstBaseTransform parent;
  gint frame_num;
};
struct ZarnDemoStreammuxClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoStreammux, zarn_demo_streammux, GST_TYPE_BASE_TRANSFORM)

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoStreammux *>(trans);
  if (!zarn_standin_streammux_buffer(buf, self->frame_num++))
    GST_WARNING_OBJECT(self, "buffer not writable, no batch");
  return GST_FLOW_OK;
}

static gboolean start(GstBaseTransform *trans) {
  reinterpret_cast<ZarnDemoStreammux *>(trans)->frame_num = 0;
  return TRUE;
}

static void zarn_demo_streammux_class_init(ZarnDemoStreammuxClass *klass) {
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  trans_class->start = start;
  zarn_demo_class_setup(trans_class, "Demo stream muxer",
                        "Makes a DeepStream batch of one frame for each buffer");
}

static void zarn_demo_streammux_init(ZarnDemoStreammux *self) {
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}
