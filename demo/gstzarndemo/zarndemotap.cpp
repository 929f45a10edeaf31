// zarndemotap: writes one line per buffer to "location" for comparing what
// a sender put in with what a receiver got back:
//
//   index  frames  objects  payload-size  payload-sha1  latency-ms  description
//
// The description lists, per frame, the frame number, the identity and
// dimensions records and the objects with every value the metadata trailer
// carries (floats in exact hexadecimal form). A sender's records are frame
// user metas; a receiver's are buffer-level records, one pair per frame in
// the order they were attached. latency-ms is now minus the first record's
// reception time. With "num-buffers" set, the stream ends after that many.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "zarndemo.h"
#include "zarndemo_element.h"
#include "zarnmeta.h"

struct ZarnDemoTap {
  GstBaseTransform parent;
  gchar *location;
  gint64 num_buffers;
  guint64 count;
  FILE *file;
};
struct ZarnDemoTapClass {
  GstBaseTransformClass parent_class;
};

G_DEFINE_TYPE(ZarnDemoTap, zarn_demo_tap, GST_TYPE_BASE_TRANSFORM)

enum { PROP_0, PROP_LOCATION, PROP_NUM_BUFFERS };

namespace {

struct Records {
  std::vector<const NvDsMetaId *> ids;
  std::vector<const NvDims *> dims;
};

// Buffer-level records in the order they were attached.
Records buffer_records(GstBuffer *buf) {
  std::vector<NvDsMeta *> metas;
  gpointer state = NULL;
  while (GstMeta *meta = gst_buffer_iterate_meta_filtered(buf, &state, NVDS_META_API_TYPE))
    metas.push_back(reinterpret_cast<NvDsMeta *>(meta));
  if (!metas.empty() && metas.front() == gst_buffer_get_nvds_meta(buf))
    std::reverse(metas.begin(), metas.end());
  Records records;
  for (NvDsMeta *m : metas) {
    if (m->meta_type == NVDS_META_ID_TYPE && m->meta_data)
      records.ids.push_back(static_cast<const NvDsMetaId *>(m->meta_data));
    else if (m->meta_type == NV_DIMS_TYPE && m->meta_data)
      records.dims.push_back(static_cast<const NvDims *>(m->meta_data));
  }
  return records;
}

void describe_records(std::ostringstream &out, const NvDsMetaId *id, const NvDims *dims) {
  if (id)
    out << " id=" << id->id << " rcv=" << id->received << " cor=" << id->corrected
        << " pts=" << id->img_pts;
  if (dims)
    out << " src=" << dims->start_width << "x" << dims->start_height
        << " mux=" << dims->end_width << "x" << dims->end_height;
}

std::string hex(float value) {
  char text[64];
  std::snprintf(text, sizeof text, "%a", static_cast<double>(value));
  return text;
}

void describe_object(std::ostringstream &out, const NvDsObjectMeta *obj) {
  const NvOSD_RectParams &r = obj->rect_params;
  out << " O(" << hex(r.left) << "," << hex(r.top) << "," << hex(r.width) << ","
      << hex(r.height) << "," << hex(obj->confidence) << ",'" << obj->obj_label << "','"
      << (obj->text_params.display_text ? obj->text_params.display_text : "") << "'";
  if (obj->tracker_confidence != 0.0f) {
    const NvBbox_Coords &t = obj->tracker_bbox_info.org_bbox_coords;
    out << " T(" << hex(t.left) << "," << hex(t.top) << "," << hex(t.width) << ","
        << hex(t.height) << "," << hex(obj->tracker_confidence) << "," << obj->object_id << ")";
  }
  for (GList *c = obj->classifier_meta_list; c; c = c->next) {
    auto *classifier = static_cast<const NvDsClassifierMeta *>(c->data);
    for (GList *l = classifier->label_info_list; l; l = l->next) {
      auto *label = static_cast<const NvDsLabelInfo *>(l->data);
      if (label->result_label[0])
        out << " C(" << classifier->unique_component_id << ",'" << label->result_label << "',"
            << hex(label->result_prob) << ")";
    }
  }
  out << ")";
}

template <typename T> const T *frame_record(const NvDsFrameMeta *frame, NvDsMetaType type) {
  for (GList *u = frame->frame_user_meta_list; u; u = u->next) {
    auto *user = static_cast<const NvDsUserMeta *>(u->data);
    if (user->base_meta.meta_type == type && user->user_meta_data)
      return static_cast<const T *>(user->user_meta_data);
  }
  return NULL;
}

std::string describe(GstBuffer *buf, guint *frames, guint *objects, gint64 *received) {
  std::ostringstream out;
  const Records records = buffer_records(buf);
  *frames = 0;
  *objects = 0;
  *received = 0;
  NvDsBatchMeta *batch = gst_buffer_get_nvds_batch_meta(buf);
  if (!batch) {
    out << "B";
    describe_records(out, records.ids.empty() ? NULL : records.ids.back(),
                     records.dims.empty() ? NULL : records.dims.back());
    if (!records.ids.empty())
      *received = records.ids.back()->received;
    return out.str();
  }
  for (GList *f = batch->frame_meta_list; f; f = f->next, ++*frames) {
    auto *frame = static_cast<const NvDsFrameMeta *>(f->data);
    const NvDsMetaId *id = frame_record<NvDsMetaId>(frame, NVDS_META_ID_TYPE);
    const NvDims *dims = frame_record<NvDims>(frame, NV_DIMS_TYPE);
    if (!id && *frames < records.ids.size())
      id = records.ids[*frames];
    if (!dims && *frames < records.dims.size())
      dims = records.dims[*frames];
    if (id && *received == 0)
      *received = id->received;
    out << (*frames ? " | " : "") << "F" << frame->frame_num;
    describe_records(out, id, dims);
    for (GList *o = frame->obj_meta_list; o; o = o->next, ++*objects)
      describe_object(out, static_cast<const NvDsObjectMeta *>(o->data));
  }
  return out.str();
}

} // namespace

static GstFlowReturn transform_ip(GstBaseTransform *trans, GstBuffer *buf) {
  auto *self = reinterpret_cast<ZarnDemoTap *>(trans);
  guint frames, objects;
  gint64 received;
  const std::string description = describe(buf, &frames, &objects, &received);
  GstMapInfo map;
  gchar *sha1 = NULL;
  gsize size = 0;
  if (gst_buffer_map(buf, &map, GST_MAP_READ)) {
    size = map.size;
    sha1 = g_compute_checksum_for_data(G_CHECKSUM_SHA1, map.data, map.size);
    gst_buffer_unmap(buf, &map);
  }
  const gint64 latency = received ? g_get_real_time() / 1000 - received : -1;
  if (self->file) {
    std::fprintf(self->file, "%" G_GUINT64_FORMAT "\t%u\t%u\t%" G_GSIZE_FORMAT "\t%s\t%" PRId64
                             "\t%s\n",
                 self->count, frames, objects, size, sha1 ? sha1 : "-", latency,
                 description.c_str());
    // Whole lines only: the demo watches the file to see when a stream
    // that never ends by itself (UDP) has gone quiet.
    std::fflush(self->file);
  }
  g_free(sha1);
  self->count++;

  if (self->num_buffers >= 0 && self->count >= static_cast<guint64>(self->num_buffers)) {
    // The last buffer goes on, then the stream ends, for sources that never
    // end by themselves (UDP, shared memory).
    gst_pad_push(GST_BASE_TRANSFORM_SRC_PAD(trans), gst_buffer_ref(buf));
    gst_pad_push_event(GST_BASE_TRANSFORM_SRC_PAD(trans), gst_event_new_eos());
    return GST_BASE_TRANSFORM_FLOW_DROPPED;
  }
  return GST_FLOW_OK;
}

static gboolean start(GstBaseTransform *trans) {
  auto *self = reinterpret_cast<ZarnDemoTap *>(trans);
  self->count = 0;
  if (self->location) {
    self->file = std::fopen(self->location, "w");
    if (!self->file) {
      GST_ELEMENT_ERROR(self, RESOURCE, OPEN_WRITE, (NULL), ("cannot write %s", self->location));
      return FALSE;
    }
  }
  return TRUE;
}

static gboolean stop(GstBaseTransform *trans) {
  auto *self = reinterpret_cast<ZarnDemoTap *>(trans);
  if (self->file)
    std::fclose(self->file);
  self->file = NULL;
  return TRUE;
}

static void set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoTap *>(object);
  switch (id) {
  case PROP_LOCATION:
    g_free(self->location);
    self->location = g_value_dup_string(value);
    break;
  case PROP_NUM_BUFFERS: self->num_buffers = g_value_get_int64(value); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
  auto *self = reinterpret_cast<ZarnDemoTap *>(object);
  switch (id) {
  case PROP_LOCATION: g_value_set_string(value, self->location); break;
  case PROP_NUM_BUFFERS: g_value_set_int64(value, self->num_buffers); break;
  default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
}

static void finalize(GObject *object) {
  g_free(reinterpret_cast<ZarnDemoTap *>(object)->location);
  G_OBJECT_CLASS(zarn_demo_tap_parent_class)->finalize(object);
}

static void zarn_demo_tap_class_init(ZarnDemoTapClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  gobject_class->set_property = set_property;
  gobject_class->get_property = get_property;
  gobject_class->finalize = finalize;
  g_object_class_install_property(
      gobject_class, PROP_LOCATION,
      g_param_spec_string("location", "Location", "File for one line per buffer", NULL,
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  g_object_class_install_property(
      gobject_class, PROP_NUM_BUFFERS,
      g_param_spec_int64("num-buffers", "Buffers", "End the stream after this many (-1: never)",
                         -1, G_MAXINT64, -1, static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
  auto *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  trans_class->transform_ip = transform_ip;
  trans_class->start = start;
  trans_class->stop = stop;
  zarn_demo_class_setup(trans_class, "Demo tap",
                        "Writes a checksum and a description of each buffer's metadata");
}

static void zarn_demo_tap_init(ZarnDemoTap *self) {
  self->num_buffers = -1;
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(self), TRUE);
}
