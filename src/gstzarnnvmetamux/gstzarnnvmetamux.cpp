/**
 * SECTION:element-zarnnvmetamux
 * @title: zarnnvmetamux
 *
 * Writes each buffer's DeepStream metadata (the batch of frames with their
 * objects, tracker data and classes, and the frame identity and dimensions
 * records) as a compact JSON document, followed by its 32-bit little-endian
 * length, at the end of the payload, so that it crosses a stage that
 * carries only bytes. The payload is not copied. zarnnvmetademux, after the
 * stage, cuts the trailer off and attaches the metadata again.
 *
 * With carrier=sei the document goes into H.264 or H.265 access units
 * instead, as one SEI message (user_data_unregistered) before the first
 * slice, which parsers, payloaders, containers and decoders keep or skip.
 *
 * ## Example launch lines
 * |[
 * gst-launch-1.0 videotestsrc num-buffers=30 ! zarnnvmetamux ! gdppay ! filesink location=muxed.gdp
 * gst-launch-1.0 videotestsrc num-buffers=30 ! x264enc ! zarnnvmetamux carrier=sei ! mp4mux ! filesink location=muxed.mp4
 * ]|
 *
 * This file holds the plug-in and element frame, the properties and the
 * per-buffer flow; the document builders, the trailer writer and the log
 * file live in their own files.
 */

#include "gstzarnnvmetamux.h"

#include <exception>
#include <string>

#include "mux_document.h"
#include "zarncarrier.h"

#include "zarnelement.h"

GST_DEBUG_CATEGORY(gst_zarn_nv_meta_mux_debug);
#define GST_CAT_DEFAULT gst_zarn_nv_meta_mux_debug

enum { PROP_0, PROP_SILENT, PROP_SAVEPATH, PROP_STATS, PROP_CARRIER };

GType zarn_nv_meta_mux_carrier_get_type(void) {
  static gsize type = 0;
  static const GEnumValue values[] = {
      {ZARN_CARRIER_TRAILER, "After the payload, then its 32-bit length", "trailer"},
      {ZARN_CARRIER_SEI,
       "An SEI message (user_data_unregistered) in each H.264 or H.265 access unit", "sei"},
      {0, NULL, NULL},
  };
  if (g_once_init_enter(&type))
    g_once_init_leave(&type, g_enum_register_static("ZarnNvMetaMuxCarrier", values));
  return type;
}

// What "sei" takes, for the error that refuses other caps.
static const char kSeiCaps[] =
    "video/x-h264 or video/x-h265 in access units (alignment=au), as byte-stream, avc, avc3, "
    "hvc1 or hev1";

static GstStaticPadTemplate sink_factory =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

static GstStaticPadTemplate src_factory =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

#define gst_zarn_nv_meta_mux_parent_class parent_class
G_DEFINE_TYPE(GstzarnNvMetaMux, gst_zarn_nv_meta_mux, GST_TYPE_ELEMENT);

static void gst_zarn_nv_meta_mux_set_property(GObject *object, guint prop_id,
                                              const GValue *value, GParamSpec *pspec);
static void gst_zarn_nv_meta_mux_get_property(GObject *object, guint prop_id, GValue *value,
                                              GParamSpec *pspec);
static void gst_zarn_nv_meta_mux_finalize(GObject *object);
static GstStateChangeReturn gst_zarn_nv_meta_mux_change_state(GstElement *element,
                                                              GstStateChange transition);
static gboolean gst_zarn_nv_meta_mux_sink_event(GstPad *pad, GstObject *parent,
                                                GstEvent *event);
static GstFlowReturn gst_zarn_nv_meta_mux_chain(GstPad *pad, GstObject *parent,
                                                GstBuffer *buf);

static void gst_zarn_nv_meta_mux_class_init(GstzarnNvMetaMuxClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->set_property = gst_zarn_nv_meta_mux_set_property;
  gobject_class->get_property = gst_zarn_nv_meta_mux_get_property;
  gobject_class->finalize = gst_zarn_nv_meta_mux_finalize;
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_zarn_nv_meta_mux_change_state);

  g_object_class_install_property(gobject_class, PROP_SILENT, zarn::silent_param_spec());
  g_object_class_install_property(
      gobject_class, PROP_SAVEPATH,
      g_param_spec_string("savepath", "Savepath", "path to file for writing jsons", "output.txt",
                          static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));

  g_object_class_install_property(
      gobject_class, PROP_CARRIER,
      g_param_spec_enum("carrier", "Carrier",
                        "Where the document travels: \"trailer\" after any payload, \"sei\" "
                        "inside H.264 or H.265 access units, which standard parsers, payloaders, "
                        "containers and decoders keep or skip",
                        ZARN_TYPE_NV_META_MUX_CARRIER, ZARN_CARRIER_TRAILER,
                        static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                                 GST_PARAM_MUTABLE_READY)));
  g_object_class_install_property(
      gobject_class, PROP_STATS,
      zarn::stats_param_spec("Counters: buffers, documents (written), document-bytes"));

  zarn::set_template_class(element_class, "zarnNvMetaMux", &sink_factory, &src_factory);
}

static void gst_zarn_nv_meta_mux_init(GstzarnNvMetaMux *filter) {
  zarn::add_template_pads(GST_ELEMENT(filter), &sink_factory, &src_factory,
                          GST_DEBUG_FUNCPTR(gst_zarn_nv_meta_mux_sink_event),
                          GST_DEBUG_FUNCPTR(gst_zarn_nv_meta_mux_chain), &filter->sinkpad,
                          &filter->srcpad);
  // The allocation query stays unanswered: what downstream offers would let
  // upstream attach layout metas (a video meta's strides) that the mux
  // drops and the byte stage cannot carry.

  filter->silent = FALSE;
  filter->savepath = NULL;
  filter->save_file = NULL;
  filter->buffers = filter->documents = filter->document_bytes = 0;
  filter->carrier = ZARN_CARRIER_TRAILER;
  filter->stream = zarn::carrier::sei::Stream();
  filter->text = new zarn::mux::Text();
}

static void gst_zarn_nv_meta_mux_finalize(GObject *object) {
  GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(object);
  if (filter->save_file)
    std::fclose(filter->save_file);
  filter->save_file = NULL;
  if (filter->savepath)
    g_string_free(filter->savepath, TRUE);
  filter->savepath = NULL;
  delete filter->text;
  filter->text = NULL;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static void gst_zarn_nv_meta_mux_set_property(GObject *object, guint prop_id,
                                              const GValue *value, GParamSpec *pspec) {
  GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(object);

  switch (prop_id) {
  case PROP_SILENT:
    // Properties may be set from any thread. Atomic rather than under the
    // object lock: GLib's mutex is built on futexes, which
    // ThreadSanitizer cannot see, and this one is checked there.
    g_atomic_int_set(&filter->silent, g_value_get_boolean(value));
    break;
  case PROP_CARRIER:
    g_atomic_int_set(&filter->carrier, g_value_get_enum(value));
    break;
  case PROP_SAVEPATH: {
    // NULL counts as the empty path, which pauses logging. An open log file
    // is kept whatever the new path is.
    const gchar *path = g_value_get_string(value);
    GST_OBJECT_LOCK(filter);
    if (!filter->savepath)
      filter->savepath = g_string_new(path);
    else
      g_string_assign(filter->savepath, path ? path : "");
    GST_OBJECT_UNLOCK(filter);
    break;
  }
  default:
    zarn::warn_invalid_property_id(object, prop_id, pspec, "src/gstzarnnvmetamux", __LINE__);
    break;
  }
}

static void gst_zarn_nv_meta_mux_get_property(GObject *object, guint prop_id, GValue *value,
                                              GParamSpec *pspec) {
  GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(object);

  switch (prop_id) {
  case PROP_SILENT:
    g_value_set_boolean(value, g_atomic_int_get(&filter->silent));
    break;
  case PROP_CARRIER:
    g_value_set_enum(value, g_atomic_int_get(&filter->carrier));
    break;
  case PROP_SAVEPATH:
    GST_OBJECT_LOCK(filter);
    g_value_set_string(value, filter->savepath ? filter->savepath->str : NULL);
    GST_OBJECT_UNLOCK(filter);
    break;
  case PROP_STATS:
    GST_OBJECT_LOCK(filter);
    g_value_take_boxed(value, gst_structure_new("application/x-zarnnvmetamux-stats",
                                                "buffers", G_TYPE_UINT64, filter->buffers,
                                                "documents", G_TYPE_UINT64, filter->documents,
                                                "document-bytes", G_TYPE_UINT64,
                                                filter->document_bytes, NULL));
    GST_OBJECT_UNLOCK(filter);
    break;
  default:
    zarn::warn_invalid_property_id(object, prop_id, pspec, "src/gstzarnnvmetamux", __LINE__);
    break;
  }
}

static gboolean gst_zarn_nv_meta_mux_sink_event(GstPad *pad, GstObject *parent,
                                                GstEvent *event) {
  GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS &&
      g_atomic_int_get(&filter->carrier) == ZARN_CARRIER_SEI) {
    GstCaps *caps;
    gst_event_parse_caps(event, &caps);
    zarn::carrier::sei::Stream stream;
    if (!zarn::carrier::sei::stream_from_caps(caps, &stream) || !stream.access_units) {
      // Never a trailer instead: the stream's consumers expect the SEI.
      gchar *text = gst_caps_to_string(caps);
      GST_ELEMENT_ERROR(filter, CORE, NEGOTIATION,
                        ("carrier \"sei\" takes %s, not these caps", kSeiCaps),
                        ("refused caps: %s", text));
      g_free(text);
      gst_event_unref(event);
      return FALSE;
    }
    filter->stream = stream;
  }
  return gst_pad_event_default(pad, parent, event);
}

static GstStateChangeReturn gst_zarn_nv_meta_mux_change_state(GstElement *element,
                                                              GstStateChange transition) {
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(parent_class)->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
    GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(element);
    filter->stream = zarn::carrier::sei::Stream();
    *filter->text = zarn::mux::Text();
  }
  return ret;
}

// The output buffer is new and shares the input's payload; it keeps the
// input's timing and flags so that downstream elements can still schedule,
// encode and payload it.
static const GstBufferCopyFlags kCarried =
    static_cast<GstBufferCopyFlags>(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS);

// The input with `length` bytes of document in the element's carrier.
static GstBuffer *carried(GstzarnNvMetaMux *filter, GstBuffer *buf, const char *document,
                          std::size_t length) {
  if (filter->stream.codec != zarn::carrier::sei::Codec::kNone)
    return zarn::carrier::sei::attach(buf, filter->stream, document, length, kCarried);
  return zarn::carrier::trailer::attach(buf, document, length, kCarried);
}

// The output buffer, with the length of the document it carries in
// *length.
static GstBuffer *muxed_buffer(GstzarnNvMetaMux *filter, GstBuffer *buf, guint64 *length) {
  // The element's text storage is reused from buffer to buffer.
  zarn::mux::Text &text = *filter->text;
  zarn::mux::write_document(buf, filter, text);
  GstBuffer *out = carried(filter, buf, text.data.get(), text.size);
  *length = out ? text.size : 0;
  return out;
}

static void count(GstzarnNvMetaMux *filter, guint64 length) {
  GST_OBJECT_LOCK(filter);
  filter->buffers++;
  if (length != 0) {
    filter->documents++;
    filter->document_bytes += length;
  }
  GST_OBJECT_UNLOCK(filter);
}

static GstFlowReturn gst_zarn_nv_meta_mux_chain(GstPad * /*pad*/, GstObject *parent,
                                                GstBuffer *buf) {
  GstzarnNvMetaMux *filter = GST_ZARNNVMETAMUX(parent);

  if (g_atomic_int_get(&filter->carrier) == ZARN_CARRIER_SEI &&
      filter->stream.codec == zarn::carrier::sei::Codec::kNone) {
    GST_ELEMENT_ERROR(filter, CORE, NEGOTIATION,
                      ("carrier \"sei\" takes %s, and no caps came before the data", kSeiCaps),
                      (NULL));
    gst_buffer_unref(buf);
    return GST_FLOW_NOT_NEGOTIATED;
  }

  // Empty: nothing to carry a document in.
  if (gst_buffer_get_size(buf) == 0) {
    count(filter, 0);
    return gst_pad_push(filter->srcpad, buf);
  }

  GstBuffer *out = NULL;
  guint64 length = 0;
  try {
    out = muxed_buffer(filter, buf, &length);
  } catch (const std::exception &e) {
    GST_WARNING_OBJECT(filter, "metadata not written, empty trailer instead: %s", e.what());
  } catch (...) {
    GST_WARNING_OBJECT(filter, "metadata not written, empty trailer instead");
  }
  // The stream keeps its format: a buffer whose document failed still
  // carries one, an empty one.
  if (!out)
    out = carried(filter, buf, NULL, 0);
  count(filter, length);
  if (!out) {
    GST_WARNING_OBJECT(filter, "cannot build output buffer, passing input on");
    return gst_pad_push(filter->srcpad, buf);
  }
  gst_buffer_unref(buf);
  return gst_pad_push(filter->srcpad, out);
}

void zarn::mux::ensure_debug_category() {
  if (G_UNLIKELY(!gst_zarn_nv_meta_mux_debug))
    GST_DEBUG_CATEGORY_INIT(gst_zarn_nv_meta_mux_debug, "zarnnvmetamux", 0,
                            "Template zarnnvmetamux");
}

static gboolean zarnnvmetamux_init(GstPlugin *plugin) {
  zarn::mux::ensure_debug_category();
  return gst_element_register(plugin, "zarnnvmetamux", GST_RANK_NONE,
                              GST_TYPE_ZARNNVMETAMUX);
}

// The descriptor is written out rather than made with GST_PLUGIN_DEFINE so
// that it names GStreamer 1.14, the oldest version the plug-in runs on,
// whatever headers it is built with.
static const GstPluginDesc gst_plugin_desc = {
    1,
    14,
    "zarnnvmetamux",
    "Template zarnnvmetamux",
    zarnnvmetamux_init,
    "0.1",
    "LGPL",
    "myfirstzarnnvmetamux",
    "GStreamer",
    "https://gstreamer.freedesktop.org/",
    NULL,
    {NULL, NULL, NULL, NULL},
};

const GstPluginDesc *gst_plugin_zarnnvmetamux_get_desc(void) {
  return &gst_plugin_desc;
}

void gst_plugin_zarnnvmetamux_register(void) {
  zarn::register_static(gst_plugin_desc);
}
