// The frame all demo elements share: an in-place GstBaseTransform with ANY
// caps on both pads.
#ifndef ZARNDEMO_ELEMENT_H
#define ZARNDEMO_ELEMENT_H

#include <gst/base/gstbasetransform.h>

static GstStaticPadTemplate zarn_demo_sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
static GstStaticPadTemplate zarn_demo_src_template =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

static inline void zarn_demo_class_setup(GstBaseTransformClass *klass, const char *longname,
                                         const char *description) {
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  gst_element_class_add_static_pad_template(element_class, &zarn_demo_sink_template);
  gst_element_class_add_static_pad_template(element_class, &zarn_demo_src_template);
  gst_element_class_set_static_metadata(element_class, longname, "Filter/Debug", description,
                                        "zarn developers <dev@zarn.invalid>");
}

#endif
