// zarndemosheet: keeps "count" frames of BGRx video spread evenly over the
// "expected" frames of the stream and, when the stream ends, writes them
// side by side, "columns" to a row, each "tile-width" pixels wide and named
// by its frame number, as a PNG to "location". Frames pass unchanged.

#include <cairo.h>

#include <cstring>
#include <string>
#include <vector>

#include "zarndemo.h"
#include "zarndemo_element.h"

struct ZarnDemoSheet {
  GstBaseTransform parent;
  gchar *location;
  guint count;
  guint columns;
  guint tile_width;
  guint64 expected;
  gint width;
  gint height;
  guint64 seen;
  std::vector<std::pair<guint64, cairo_surface_t *>> *frames;
};
struct ZarnDemoSheetClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoSheet, zarn_demo_sheet, GST_TYPE_BASE_TRANSFORM)

enum { PROP_0, PROP_LOCATION, PROP_COUNT, PROP_COLUMNS, PROP_TILE_WIDTH, PROP_EXPECTED };

static void drop_frames(ZarnDemoSheet *self) {
  for (auto &frame : *self->frames)
    cairo_surface_destroy(frame.second);
  self->frames->clear();
}

static void write_sheet(ZarnDemoSheet *self) {
  if (!self->location || self->frames->empty())
    return;
  const double scale = static_cast<double>(self->tile_width) / self->width;
  const int tile_height = static_cast<int>(self->height * scale);
  const int caption = 18;
  const guint columns = MAX(1u, MIN(self->columns, static_cast<guint>(self->frames->size())));
  const guint rows = (static_cast<guint>(self->frames->size()) + columns - 1) / columns;
  cairo_surface_t *sheet = cairo_image_surface_create(
      CAIRO_FORMAT_RGB24, static_cast<int>(columns * self->tile_width),
      static_cast<int>(rows * (tile_height + caption)));
  cairo_t *cr = cairo_create(sheet);
  cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12.0);
  for (std::size_t i = 0; i < self->frames->size(); i++) {
    const double x = static_cast<double>((i % columns) * self->tile_width);
    const double y = static_cast<double>((i / columns) * (tile_height + caption));
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, scale, scale);
    cairo_set_source_surface(cr, (*self->frames)[i].second, 0, 0);
    cairo_paint(cr);
    cairo_restore(cr);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_move_to(cr, x + 4, y + tile_height + 13);
    cairo_show_text(cr, ("frame " + std::to_string((*self->frames)[i].first)).c_str());
  }
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(sheet, self->location);
  cairo_surface_destroy(sheet);
  if (status != CAIRO_STATUS_SUCCESS)
    GST_ELEMENT_WARNING(self, RESOURCE, WRITE, (NULL),
                        ("cannot write %s: %s", self->location, cairo_status_to_string(status)));
  drop_frames(self);
}

static gboolean set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps * /*outcaps*/) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(trans);
  const GstStructure *s = gst_caps_get_structure(incaps, 0);
  const gchar *format = gst_structure_get_string(s, "format");
  const gboolean ok = format && std::strcmp(format, "BGRx") == 0 &&
                      gst_structure_get_int(s, "width", &self->width) &&
                      gst_structure_get_int(s, "height", &self->height) && self->width > 0;
  if (!ok)
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, (NULL), ("needs video/x-raw,format=BGRx"));
  return ok;
}

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(trans);
  const guint64 index = self->seen++;
  const guint64 step = MAX(G_GUINT64_CONSTANT(1), self->expected / MAX(1u, self->count));
  if (index % step != 0 || self->frames->size() >= self->count)
    return GST_FLOW_OK;
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, self->width);
  GstMapInfo map;
  if (!gst_buffer_map(buf, &map, GST_MAP_READ))
    return GST_FLOW_OK;
  if (map.size >= static_cast<gsize>(stride) * self->height) {
    cairo_surface_t *copy =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, self->width, self->height);
    cairo_surface_flush(copy);
    const int copy_stride = cairo_image_surface_get_stride(copy);
    for (int y = 0; y < self->height; y++)
      std::memcpy(cairo_image_surface_get_data(copy) + static_cast<gsize>(copy_stride) * y,
                  map.data + static_cast<gsize>(stride) * y, static_cast<gsize>(stride));
    cairo_surface_mark_dirty(copy);
    self->frames->push_back({index, copy});
  }
  gst_buffer_unmap(buf, &map);
  return GST_FLOW_OK;
}

static gboolean sink_event(GstBaseTransform *trans, GstEvent *event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_EOS)
    write_sheet(reinterpret_cast<ZarnDemoSheet *>(trans));
  return GST_BASE_TRANSFORM_CLASS(zarn_demo_sheet_parent_class)->sink_event(trans, event);
}

static gboolean start(GstBaseTransform *trans) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(trans);
  self->seen = 0;
  drop_frames(self);
  return TRUE;
}

static gboolean stop(GstBaseTransform *trans) {
  // A stream stopped before its end still gets the frames it had.
  write_sheet(reinterpret_cast<ZarnDemoSheet *>(trans));
  return TRUE;
}

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(object);
  switch (id) {
  case PROP_LOCATION:
    g_free(self->location);
    self->location = g_value_dup_string(value);
    break;
  case PROP_COUNT: self->count = g_value_get_uint(value); break;
  case PROP_COLUMNS: self->columns = g_value_get_uint(value); break;
  case PROP_TILE_WIDTH: self->tile_width = g_value_get_uint(value); break;
  case PROP_EXPECTED: self->expected = g_value_get_uint64(value); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(object);
  switch (id) {
  case PROP_LOCATION: g_value_set_string(value, self->location); break;
  case PROP_COUNT: g_value_set_uint(value, self->count); break;
  case PROP_COLUMNS: g_value_set_uint(value, self->columns); break;
  case PROP_TILE_WIDTH: g_value_set_uint(value, self->tile_width); break;
  case PROP_EXPECTED: g_value_set_uint64(value, self->expected); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void finalize(GObject *object) {
  auto *self = reinterpret_cast<ZarnDemoSheet *>(object);
  drop_frames(self);
  delete self->frames;
  g_free(self->location);
  G_OBJECT_CLASS(zarn_demo_sheet_parent_class)->finalize(object);
}

static void zarn_demo_sheet_class_init(ZarnDemoSheetClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = set_property;
  gobject_class->get_property = get_property;
  gobject_class->finalize = finalize;
  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      gobject_class, PROP_LOCATION,
      g_param_spec_string("location", "Location", "The PNG to write", NULL, flags));
  g_object_class_install_property(
      gobject_class, PROP_COUNT,
      g_param_spec_uint("count", "Count", "Frames on the sheet", 1, 100, 6, flags));
  g_object_class_install_property(
      gobject_class, PROP_COLUMNS,
      g_param_spec_uint("columns", "Columns", "Frames to a row", 1, 100, 3, flags));
  g_object_class_install_property(
      gobject_class, PROP_TILE_WIDTH,
      g_param_spec_uint("tile-width", "Tile width", "Width of each frame on the sheet", 16,
                        8192, 320, flags));
  g_object_class_install_property(
      gobject_class, PROP_EXPECTED,
      g_param_spec_uint64("expected", "Expected", "Frames the stream will have", 0,
                          G_MAXUINT64, 0, flags));
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  trans_class->set_caps = set_caps;
  trans_class->sink_event = sink_event;
  trans_class->start = start;
  trans_class->stop = stop;
  zarn_demo_class_setup(trans_class, "Demo contact sheet",
                        "Writes a few frames spread over the stream as one PNG");
}

static void zarn_demo_sheet_init(ZarnDemoSheet *self) {
  self->count = 6;
  self->columns = 3;
  self->tile_width = 320;
  self->frames = new std::vector<std::pair<guint64, cairo_surface_t *>>();
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
}
