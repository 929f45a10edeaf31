// zarndemooverlay: draws every object of each frame's restored batch onto
// the frame (I420 video, as the demo sends it): its box in the colour of its
// kind, and above it the label, the tracker id and the classes. Boxes are in
// the stream muxer's coordinates (the frame's dimensions record) and are
// scaled to the frame. It works on I420 itself because a converter in front
// would drop the SDK's metadata (GStreamer's video filters keep only video
// metas): cairo draws into a layer of its own, which is blended into the
// frame's planes.

#include <cairo.h>

#include <cstring>
#include <string>

#include "gstnvdsmeta.h"
#include "zarndemo.h"
#include "zarndemo_element.h"
#include "zarndemo_frame.h"

struct ZarnDemoOverlay {
  GstBaseTransform parent;
  gint width;
  gint height;
  gboolean i420;
};
struct ZarnDemoOverlayClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoOverlay, zarn_demo_overlay, GST_TYPE_BASE_TRANSFORM)

namespace {

std::string caption(const NvDsObjectMeta *obj) {
  std::string text = obj->obj_label;
  if (obj->tracker_confidence != 0.0f)
    text += " #" + std::to_string(obj->object_id & 0xFFFFFFFFu);
  for (GList *c = obj->classifier_meta_list; c; c = c->next) {
    auto *classifier = static_cast<const NvDsClassifierMeta *>(c->data);
    for (GList *l = classifier->label_info_list; l; l = l->next) {
      auto *label = static_cast<const NvDsLabelInfo *>(l->data);
      if (label->result_label[0])
        text += std::string(" ") + label->result_label;
    }
  }
  return text;
}

void draw_frame(cairo_t *cr, const NvDsFrameMeta *frame, double width, double height) {
  double mux_width = width, mux_height = height;
  zarn_demo_mux_size(frame, &mux_width, &mux_height);
  const double sx = width / mux_width, sy = height / mux_height;
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, 11.0);
  // Four pixels wide on whole pixels: every 2x2 block of the frame's
  // chroma that the line touches is covered whole, so the line keeps its
  // colour in I420.
  cairo_set_line_width(cr, 4.0);
  for (GList *o = frame->obj_meta_list; o; o = o->next) {
    auto *obj = static_cast<const NvDsObjectMeta *>(o->data);
    const NvOSD_RectParams &r = obj->rect_params;
    const ZarnDemoColour c = zarn_demo_colour(obj->obj_label);
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
    const double left = static_cast<int>(r.left * sx);
    const double top = static_cast<int>(r.top * sy);
    cairo_rectangle(cr, left, top, static_cast<int>(r.width * sx),
                    static_cast<int>(r.height * sy));
    cairo_stroke(cr);
    const std::string text = caption(obj);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    const double y = top > 18 ? top - 5 : top + r.height * sy + 16;
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_rectangle(cr, left - 1, y - 12, extents.x_advance + 4, 15);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0);
    cairo_move_to(cr, left + 1, y);
    cairo_show_text(cr, text.c_str());
  }
}

struct Yuv {
  double y, u, v;
};

// BT.601, studio range: what videotestsrc and videoconvert use for SD video.
Yuv to_yuv(double r, double g, double b) {
  return {16.0 + 0.256788 * r + 0.504129 * g + 0.097906 * b,
          128.0 - 0.148223 * r - 0.290993 * g + 0.439216 * b,
          128.0 + 0.439216 * r - 0.367788 * g - 0.071427 * b};
}

guint8 mix(guint8 under, double over, unsigned alpha) {
  const double value = (under * (255.0 - alpha) + over * alpha) / 255.0;
  return static_cast<guint8>(CLAMP(value + 0.5, 0.0, 255.0));
}

// Blends the layer (premultiplied ARGB) into the I420 planes; each chroma
// sample takes the layer's pixel at the top left of its 2x2 block.
void blend(cairo_surface_t *layer, guint8 *data, int width, int height) {
  cairo_surface_flush(layer);
  const guint8 *pixels = cairo_image_surface_get_data(layer);
  const int stride = cairo_image_surface_get_stride(layer);
  const int y_stride = GST_ROUND_UP_4(width);
  const int c_stride = GST_ROUND_UP_4(GST_ROUND_UP_2(width) / 2);
  guint8 *u_plane = data + y_stride * GST_ROUND_UP_2(height);
  guint8 *v_plane = u_plane + c_stride * (GST_ROUND_UP_2(height) / 2);
  for (int y = 0; y < height; y++) {
    const guint32 *row = reinterpret_cast<const guint32 *>(pixels + stride * y);
    for (int x = 0; x < width; x++) {
      const guint32 p = row[x];
      const unsigned a = p >> 24;
      if (a == 0)
        continue;
      const double scale = 255.0 / a;
      const Yuv c = to_yuv((p >> 16 & 0xFF) * scale, (p >> 8 & 0xFF) * scale,
                           (p & 0xFF) * scale);
      guint8 &luma = data[y_stride * y + x];
      luma = mix(luma, c.y, a);
      if (x % 2 == 0 && y % 2 == 0) {
        guint8 &u = u_plane[c_stride * (y / 2) + x / 2];
        guint8 &v = v_plane[c_stride * (y / 2) + x / 2];
        u = mix(u, c.u, a);
        v = mix(v, c.v, a);
      }
    }
  }
}

gsize i420_size(int width, int height) {
  return static_cast<gsize>(GST_ROUND_UP_4(width)) * GST_ROUND_UP_2(height) +
         2 * static_cast<gsize>(GST_ROUND_UP_4(GST_ROUND_UP_2(width) / 2)) *
             (GST_ROUND_UP_2(height) / 2);
}

} // namespace

static gboolean set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps * /*outcaps*/) {
  auto *self = reinterpret_cast<ZarnDemoOverlay *>(trans);
  const GstStructure *s = gst_caps_get_structure(incaps, 0);
  const gchar *format = gst_structure_get_string(s, "format");
  self->i420 = format && std::strcmp(format, "I420") == 0 &&
               gst_structure_get_int(s, "width", &self->width) &&
               gst_structure_get_int(s, "height", &self->height) && self->width > 0 &&
               self->height > 0;
  if (!self->i420)
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("needs video/x-raw,format=I420"));
  return self->i420;
}

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoOverlay *>(trans);
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buf);
  if (!batch || !self->i420)
    return GST_FLOW_OK;
  GstMapInfo map;
  if (!gst_buffer_map(buf, &map, GST_MAP_READWRITE))
    return GST_FLOW_OK;
  if (map.size >= i420_size(self->width, self->height)) {
    cairo_surface_t *layer =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, self->width, self->height);
    cairo_t *cr = cairo_create(layer);
    for (GList *f = batch->frame_meta_list; f; f = f->next)
      draw_frame(cr, static_cast<const NvDsFrameMeta *>(f->data), self->width, self->height);
    cairo_destroy(cr);
    blend(layer, map.data, self->width, self->height);
    cairo_surface_destroy(layer);
  }
  gst_buffer_unmap(buf, &map);
  return GST_FLOW_OK;
}

static void zarn_demo_overlay_class_init(ZarnDemoOverlayClass *klass) {
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  trans_class->set_caps = set_caps;
  zarn_demo_class_setup(trans_class, "Demo overlay",
                        "Draws the restored objects (box, label, tracker id, classes)");
}

static void zarn_demo_overlay_init(ZarnDemoOverlay *self) {
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}
