// zarndemodetector: adds "num-objects" deterministic objects to every frame
// of the buffer's batch: boxes that move from frame to frame, confidences,
// labels and display texts, tracker ids and boxes (every fifth object is
// untracked), and labels from two classifiers. The same "seed" and frame
// number always give the same objects.

#include <cstdio>

#include "gstnvdsmeta.h"
#include "zarndemo.h"
#include "zarndemo_element.h"

struct ZarnDemoDetector {
  GstBaseTransform parent;
  guint num_objects;
  guint seed;
};
struct ZarnDemoDetectorClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoDetector, zarn_demo_detector, GST_TYPE_BASE_TRANSFORM)

enum { PROP_0, PROP_NUM_OBJECTS, PROP_SEED };

static guint64 mix(guint64 x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

static void add_label(NvDsBatchMeta *batch, NvDsClassifierMeta *classifier, const char *text,
                      float prob) {
  NvDsLabelInfo *label = nvds_acquire_label_info_meta_from_pool(batch);
  g_strlcpy(label->result_label, text, MAX_LABEL_SIZE);
  label->result_prob = prob;
  nvds_add_label_info_meta_to_classifier(classifier, label);
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
  nvds_acquire_meta_lock(batch);
  for (GList *f = batch->frame_meta_list; f; f = f->next)
    add_objects(self, batch, static_cast<NvDsFrameMeta *>(f->data));
  nvds_release_meta_lock(batch);
  return GST_FLOW_OK;
}

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(object);
  switch (id) {
  case PROP_NUM_OBJECTS: self->num_objects = g_value_get_uint(value); break;
  case PROP_SEED: self->seed = g_value_get_uint(value); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoDetector *>(object);
  switch (id) {
  case PROP_NUM_OBJECTS: g_value_set_uint(value, self->num_objects); break;
  case PROP_SEED: g_value_set_uint(value, self->seed); break;
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
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  zarn_demo_class_setup(trans_class, "Demo detector",
                        "Adds deterministic detections, tracks and classes to each frame");
}

static void zarn_demo_detector_init(ZarnDemoDetector *self) {
  self->num_objects = 5;
  self->seed = 1;
  gst_base_transform_set_in_place(GST_BASE_TRANSFORM(self), TRUE);
}
