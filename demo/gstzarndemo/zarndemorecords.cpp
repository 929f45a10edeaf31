// zarndemorecords: attaches a frame identity record (a running id from
// "first-id", the wall-clock reception time) and a dimensions record (the
// caps' size as source, "mux-width" x "mux-height" after the muxer).

#include "zarndemo.h"
#include "zarndemo_element.h"
#include "zarnmeta.h"

struct ZarnDemoRecords {
  GstBaseTransform parent;
  gint64 next_id;
  gint mux_width;
  gint mux_height;
  gint width;
  gint height;
};
struct ZarnDemoRecordsClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoRecords, zarn_demo_records, GST_TYPE_BASE_TRANSFORM)

enum { PROP_0, PROP_FIRST_ID, PROP_MUX_WIDTH, PROP_MUX_HEIGHT };

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoRecords *>(object);
  switch (id) {
  case PROP_FIRST_ID: self->next_id = g_value_get_int64(value); break;
  case PROP_MUX_WIDTH: self->mux_width = g_value_get_int(value); break;
  case PROP_MUX_HEIGHT: self->mux_height = g_value_get_int(value); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoRecords *>(object);
  switch (id) {
  case PROP_FIRST_ID: g_value_set_int64(value, self->next_id); break;
  case PROP_MUX_WIDTH: g_value_set_int(value, self->mux_width); break;
  case PROP_MUX_HEIGHT: g_value_set_int(value, self->mux_height); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static gboolean set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps * /*outcaps*/) {
  auto *self = reinterpret_cast<ZarnDemoRecords *>(trans);
  const GstStructure *s = gst_caps_get_structure(incaps, 0);
  if (!gst_structure_get_int(s, "width", &self->width))
    self->width = 0;
  if (!gst_structure_get_int(s, "height", &self->height))
    self->height = 0;
  return TRUE;
}

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoRecords *>(trans);
  NvDsMetaId *id = g_new0(NvDsMetaId, 1);
  id->id = self->next_id++;
  id->received = g_get_real_time() / 1000;
  if (GST_BUFFER_PTS_IS_VALID(buf))
    id->img_pts = static_cast<gint64>(GST_BUFFER_PTS(buf) / GST_MSECOND);
  if (!gst_buffer_add_nvds_id_meta(buf, id))
    g_free(id);
  gst_buffer_add_or_update_dims_meta(buf, self->height, self->width, true);
  gst_buffer_add_or_update_dims_meta(buf, self->mux_height, self->mux_width, false);
  return GST_FLOW_OK;
}

static void zarn_demo_records_class_init(ZarnDemoRecordsClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = set_property;
  gobject_class->get_property = get_property;
  g_object_class_install_property(
      gobject_class, PROP_FIRST_ID,
      g_param_spec_int64("first-id", "First id", "Identity of the first frame", 0, G_MAXINT64,
                         1, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_MUX_WIDTH,
      g_param_spec_int("mux-width", "Muxer width", "Width after the stream muxer", 0, G_MAXINT,
                       1280, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_MUX_HEIGHT,
      g_param_spec_int("mux-height", "Muxer height", "Height after the stream muxer", 0,
                       G_MAXINT, 720, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->set_caps = set_caps;
  trans_class->transform_ip = transform_ip;
  zarn_demo_class_setup(trans_class, "Demo frame records",
                        "Attaches frame identity and dimensions records");
}

static void zarn_demo_records_init(ZarnDemoRecords *self) {
  self->next_id = 1;
  self->mux_width = 1280;
  self->mux_height = 720;
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}
