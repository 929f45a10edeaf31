// zarndemodetector: adds "num-objects" deterministic objects to every frame
// of the buffer's batch: boxes that move from frame to frame, confidences,
// labels and display texts, tracker ids and boxes (every fifth object is
// untracked), and labels from two classifiers. The same "seed" and frame
// number always give the same objects. With "ball" set, on I420 video, the
// first object is a real detection: the box around the frame's bright
// pixels (videotestsrc's ball), in the stream muxer's coordinates.

#include <cstdio>
#include <cstring>

#include "gstnvdsmeta.h"
#include "zarndemo.h"
#include "zarndemo_element.h"
#include "zarndemo_frame.h"

struct ZarnDemoDetector {
  GstBaseTransform parent;
  guint num_objects;
  guint seed;
  gboolean ball;
  gint width;
  gint height;
  gboolean i420;
};
struct ZarnDemoDetectorClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoDetector, zarn_demo_detector, GST_TYPE_BASE_TRANSFORM)

static void add_label(NvDsBatchMeta *batch, NvDsClassifierMeta *classifier, const char *text,
                      float prob) {
  NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
  g_strlcpy(label->result_label, text, MAX_LABEL_SIZE);
  label->result_prob = prob;
  nvds_add_label_info_meta_to_classifier(classifier, label);
}

enum { PROP_0, PROP_NUM_OBJECTS, PROP_SEED, PROP_BALL };

struct Box {
  int left, top, right, bottom; // right and bottom exclusive; empty when right <= left
};

// The box around the pixels brighter than mid grey in an I420 frame.
static Box bright_box(GstBuffer *buf, int width, int height) {
  Box box = {width, height, 0, 0};
  GstMapInfo map;
  if (!gst_buffer_map(buf, &map, GST_MAP_READ))
    return {0, 0, 0, 0};
  const gsize stride = GST_ROUND_UP_4(width);
  if (map.size >= stride * static_cast<gsize>(height)) {
    for (int y = 0; y < height; y++) {
      const guint8 *row = map.data + stride * y;
      for (int x = 0; x < width; x++) {
        if (row[x] > 128) {
          box.left = MIN(box.left, x);
          box.right = MAX(box.right, x + 1);
          box.top = MIN(box.top, y);
          box.bottom = MAX(box.bottom, y + 1);
        }
      }
    }
  }
  gst_buffer_unmap(buf, &map);
  return box;
}

static void add_ball(ZarnDemoDetector *self, NvDsBatchMeta *batch, NvDsFrameMeta *frame,
                     const Box &box) {
  double mux_width = self->width, mux_height = self->height;
  zarn_demo_mux_size(frame, &mux_width, &mux_height);
  const double sx = mux_width / self->width, sy = mux_height / self->height;
  NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
  obj->unique_component_id = 1;
  obj->class_id = 4;
  obj->rect_params.left = static_cast<float>(box.left * sx);
  obj->rect_params.top = static_cast<float>(box.top * sy);
  obj->rect_params.width = static_cast<float>((box.right - box.left) * sx);
  obj->rect_params.height = static_cast<float>((box.bottom - box.top) * sy);
  obj->confidence = 0.99f;
  g_strlcpy(obj->obj_label, "ball", MAX_LABEL_SIZE);
  obj->text_params.display_text = g_strdup("ball");
  obj->tracker_confidence = 0.9f;
  obj->object_id = static_cast<guint64>(self->seed) << 32 | 0xBA11u;
  obj->tracker_bbox_info.org_bbox_coords = {obj->rect_params.left, obj->rect_params.top,
                                            obj->rect_params.width, obj->rect_params.height};
  NvDsClassifierMeta *colour = nvds_acquire_classifier_meta_from_pool(batch);
  colour->unique_component_id = 3;
  add_label(batch, colour, "white", 0.95f);
  nvds_add_classifier_meta_to_object(obj, colour);
  nvds_add_obj_meta_to_frame(frame, obj, NULL);
}

static gboolean set_caps(GstBaseTransform *trans, GstCaps *incaps, GstCaps * /*outcaps*/) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(trans);
  const GstStructure *s = gst_caps_get_structure(incaps, 0);
  const gchar *format = gst_structure_get_string(s, "format");
  self->i420 = gst_structure_has_name(s, "video/x-raw") && format &&
               std::strcmp(format, "I420") == 0 &&
               gst_structure_get_int(s, "width", &self->width) &&
               gst_structure_get_int(s, "height", &self->height) && self->width > 0 &&
               self->height > 0;
  return TRUE;
}

static guint64 mix(guint64 x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}


static void add_objects(ZarnDemoDetector *self, NvDsBatchMeta *batch, NvDsFrameMeta *frame) {
  static const char *const kinds[] = {"car", "person", "bicycle", "truck"};
  static const char *const colours[] = {"red", "blue", "white"};
  static const char *const shapes[] = {"sedan", "suv", "van"};
  const guint n = static_cast<guint>(frame->frame_num);
  for (guint i = 0; i < self->num_objects; i++) {
    const guint64 h = mix((static_cast<guint64>(self->seed) << 20) ^ i);
    NvDsObjectMeta *obj = nvds_acquire_obj_meta_from_pool(batch);
    obj->unique_component_id = 1;
    obj->class_id = static_cast<gint>(i % 4);
    obj->rect_params.left = static_cast<float>((h % 1000) + (n * (1 + i % 7)) % 200) + 0.25f;
    obj->rect_params.top = static_cast<float>(((h >> 10) % 500) + (n * (1 + i % 3)) % 100) + 0.5f;
    obj->rect_params.width = 20.0f + static_cast<float>((h >> 20) % 200) + 0.125f * (n % 8);
    obj->rect_params.height = 30.0f + static_cast<float>((h >> 30) % 300);
    obj->confidence = 0.3f + static_cast<float>((h >> 40) % 700) / 1000.0f;
    g_strlcpy(obj->obj_label, kinds[i % 4], MAX_LABEL_SIZE);
    obj->text_params.display_text = g_strdup_printf("%s #%u", kinds[i % 4], i);
    if (i % 5 != 4) {
      obj->tracker_confidence = 0.5f + static_cast<float>((h >> 8) % 500) / 1000.0f;
      obj->object_id = (static_cast<guint64>(self->seed) << 32) | i;
      obj->tracker_bbox_info.org_bbox_coords = {obj->rect_params.left - 0.5f,
                                                obj->rect_params.top + 0.5f,
                                                obj->rect_params.width + 1.0f,
                                                obj->rect_params.height - 1.0f};
    }
    NvDsClassifierMeta *colour = nvds_acquire_classifier_meta_from_pool(batch);
    colour->unique_component_id = 3;
    add_label(batch, colour, colours[(h + n) % 3], 0.5f + static_cast<float>(n % 50) / 100.0f);
    if (i % 3 == 0)
      add_label(batch, colour, "", 0.1f); // an empty label: never written
    nvds_add_classifier_meta_to_object(obj, colour);
    if (i % 2 == 0) {
      NvDsClassifierMeta *shape = nvds_acquire_classifier_meta_from_pool(batch);
      shape->unique_component_id = 4;
      add_label(batch, shape, shapes[(h >> 3) % 3], 0.9f);
      nvds_add_classifier_meta_to_object(obj, shape);
    }
    nvds_add_obj_meta_to_frame(frame, obj, NULL);
  }
}

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(trans);
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buf);
  if (!batch) {
    GST_WARNING_OBJECT(self, "no batch on the buffer: put a stream muxer before the detector");
    return GST_FLOW_OK;
  }
  Box ball = {0, 0, 0, 0};
  if (self->ball && self->i420)
    ball = bright_box(buf, self->width, self->height);
  nvds_acquire_meta_lock(batch);
  for (GList *f = batch->frame_meta_list; f; f = f->next) {
    auto *frame = static_cast<NvDsFrameMeta *>(f->data);
    if (ball.right > ball.left)
      add_ball(self, batch, frame, ball);
    add_objects(self, batch, frame);
  }
  nvds_release_meta_lock(batch);
  return GST_FLOW_OK;
}

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(object);
  switch (id) {
  case PROP_NUM_OBJECTS: self->num_objects = g_value_get_uint(value); break;
  case PROP_SEED: self->seed = g_value_get_uint(value); break;
  case PROP_BALL: self->ball = g_value_get_boolean(value); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(object);
  switch (id) {
  case PROP_NUM_OBJECTS: g_value_set_uint(value, self->num_objects); break;
  case PROP_SEED: g_value_set_uint(value, self->seed); break;
  case PROP_BALL: g_value_set_boolean(value, self->ball); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void zarn_demo_detector_class_init(ZarnDemoDetectorClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = set_property;
  gobject_class->get_property = get_property;
  g_object_class_install_property(
      gobject_class, PROP_NUM_OBJECTS,
      g_param_spec_uint("num-objects", "Objects", "Objects per frame", 0, 10000, 5,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_SEED,
      g_param_spec_uint("seed", "Seed", "Seed of the synthetic detections", 0, G_MAXUINT, 1,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_BALL,
      g_param_spec_boolean("ball", "Ball", "Report the bright object of I420 frames first",
                           FALSE,
                           static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  trans_class->set_caps = set_caps;
  zarn_demo_class_setup(trans_class, "Demo detector",
                        "Adds deterministic detections, tracks and classes to each frame");
}

static void zarn_demo_detector_init(ZarnDemoDetector *self) {
  self->num_objects = 5;
  self->seed = 1;
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}
