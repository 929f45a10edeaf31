/**
 * SECTION:element-zarnnvmetademux
 * @title: zarnnvmetademux
 *
 * Reads the metadata document that zarnnvmetamux wrote at the end of each
 * buffer (or, on H.264 and H.265 caps, in an SEI message of the access
 * unit), takes it out, so that the payload is byte for byte what entered
 * the mux, and attaches the metadata again: the frame identity and
 * dimensions records, and for a batch document a rebuilt DeepStream batch.
 * A buffer whose trailer or document is not valid goes on untouched, with a
 * WARNING.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 filesrc location=muxed.gdp ! gdpdepay ! zarnnvmetademux ! fakesink
 * ]|
 *
 * This file holds the plug-in and element frame and the per-buffer flow;
 * the trailer reader and the restorers live in their own files.
 */

#include "gstzarnnvmetademux.h"

#include <exception>

#include "demux_restore.h"
#include "zarnelement.h"
#include "zarncarrier.h"

GST_DEBUG_CATEGORY(gst_zarnnvmetademux_debug);
#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

// How the document found in a buffer is read and taken out again.
struct Carrier {
  bool (*read)(GstBuffer *, const zarn::carrier::Location &, char *);
  void (*remove)(GstBuffer *, const zarn::carrier::Location &);
};
static const Carrier kTrailer = {zarn::carrier::trailer::read, zarn::carrier::trailer::remove};
static const Carrier kSei = {zarn::carrier::sei::read, zarn::carrier::sei::remove};

enum { PROP_0, PROP_SILENT, PROP_STATS };

static GstStaticPadTemplate sink_factory =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

static GstStaticPadTemplate src_factory =
    GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS("ANY"));

#define gst_zarnnvmetademux_parent_class parent_class
G_DEFINE_TYPE(Gstzarnnvmetademux, gst_zarnnvmetademux, GST_TYPE_ELEMENT);

static void gst_zarnnvmetademux_set_property(GObject *object, guint prop_id,
                                             const GValue *value, GParamSpec *pspec);
static void gst_zarnnvmetademux_get_property(GObject *object, guint prop_id, GValue *value,
                                             GParamSpec *pspec);
static gboolean gst_zarnnvmetademux_sink_event(GstPad *pad, GstObject *parent,
                                               GstEvent *event);
static GstFlowReturn gst_zarnnvmetademux_chain(GstPad *pad, GstObject *parent,
                                               GstBuffer *buf);
static void gst_zarnnvmetademux_finalize(GObject *object);
static GstStateChangeReturn gst_zarnnvmetademux_change_state(GstElement *element,
                                                             GstStateChange transition);

void zarn::demux::ensure_debug_category() {
  if (G_UNLIKELY(!gst_zarnnvmetademux_debug))
    GST_DEBUG_CATEGORY_INIT(gst_zarnnvmetademux_debug, "zarnnvmetademux", 0,
                            "Template zarnnvmetademux");
}

static void gst_zarnnvmetademux_class_init(GstzarnnvmetademuxClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);

  gobject_class->set_property = gst_zarnnvmetademux_set_property;
  gobject_class->get_property = gst_zarnnvmetademux_get_property;
  gobject_class->finalize = gst_zarnnvmetademux_finalize;
  element_class->change_state = GST_DEBUG_FUNCPTR(gst_zarnnvmetademux_change_state);

  g_object_class_install_property(gobject_class, PROP_SILENT, zarn::silent_param_spec());
  g_object_class_install_property(
      gobject_class, PROP_STATS,
      zarn::stats_param_spec("Counters: buffers, restored (documents), untouched (buffers "
                             "passed on as they came), refused (documents)"));
  zarn::set_template_class(element_class, "zarnnvmetademux", &sink_factory, &src_factory);
}

static void gst_zarnnvmetademux_init(Gstzarnnvmetademux *filter) {
  zarn::add_template_pads(GST_ELEMENT(filter), &sink_factory, &src_factory,
                          GST_DEBUG_FUNCPTR(gst_zarnnvmetademux_sink_event),
                          GST_DEBUG_FUNCPTR(gst_zarnnvmetademux_chain), &filter->sinkpad,
                          &filter->srcpad);

  // Its output is its input less the trailer: the pools and metas that
  // downstream offers serve upstream as well, as they do through identity.
  GST_PAD_SET_PROXY_ALLOCATION(filter->sinkpad);

  filter->silent = FALSE;
  filter->reader = zarn::demux::reader_new(GST_OBJECT(filter));
  filter->stream = zarn::carrier::sei::Stream();
  filter->buffers = filter->restored = filter->untouched = filter->refused = 0;
  filter->refusal_posted = 0;
}

static void gst_zarnnvmetademux_finalize(GObject *object) {
  Gstzarnnvmetademux *filter = GST_ZARNNVMETADEMUX(object);
  zarn::demux::reader_free(filter->reader);
  filter->reader = NULL;
  G_OBJECT_CLASS(parent_class)->finalize(object);
}

static void gst_zarnnvmetademux_set_property(GObject *object, guint prop_id,
                                             const GValue *value, GParamSpec *pspec) {
  Gstzarnnvmetademux *filter = GST_ZARNNVMETADEMUX(object);
  switch (prop_id) {
  case PROP_SILENT:
    // Properties may be set from any thread. Atomic rather than under the
    // object lock: GLib's mutex is built on futexes, which
    // ThreadSanitizer cannot see, and this one is checked there.
    g_atomic_int_set(&filter->silent, g_value_get_boolean(value));
    break;
  default:
    zarn::warn_invalid_property_id(object, prop_id, pspec, "src/gstzarnnvmetademux", __LINE__);
    break;
  }
}

static void gst_zarnnvmetademux_get_property(GObject *object, guint prop_id, GValue *value,
                                             GParamSpec *pspec) {
  Gstzarnnvmetademux *filter = GST_ZARNNVMETADEMUX(object);
  switch (prop_id) {
  case PROP_SILENT:
    g_value_set_boolean(value, g_atomic_int_get(&filter->silent));
    break;
  case PROP_STATS:
    GST_OBJECT_LOCK(filter);
    g_value_take_boxed(value, gst_structure_new("application/x-zarnnvmetademux-stats",
                                                "buffers", G_TYPE_UINT64, filter->buffers,
                                                "restored", G_TYPE_UINT64, filter->restored,
                                                "untouched", G_TYPE_UINT64, filter->untouched,
                                                "refused", G_TYPE_UINT64, filter->refused, NULL));
    GST_OBJECT_UNLOCK(filter);
    break;
  default:
    zarn::warn_invalid_property_id(object, prop_id, pspec, "src/gstzarnnvmetademux", __LINE__);
    break;
  }
}

static gboolean gst_zarnnvmetademux_sink_event(GstPad *pad, GstObject *parent,
                                               GstEvent *event) {
  if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
    GstCaps *caps;
    gst_event_parse_caps(event, &caps);
    Gstzarnnvmetademux *filter = GST_ZARNNVMETADEMUX(parent);
    zarn::carrier::sei::stream_from_caps(caps, &filter->stream);
  }
  return gst_pad_event_default(pad, parent, event);
}

static GstStateChangeReturn gst_zarnnvmetademux_change_state(GstElement *element,
                                                             GstStateChange transition) {
  const GstStateChangeReturn ret =
      GST_ELEMENT_CLASS(parent_class)->change_state(element, transition);
  // A new stream brings its own caps.
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY)
    GST_ZARNNVMETADEMUX(element)->stream = zarn::carrier::sei::Stream();
  return ret;
}

// The document's bytes go straight from the buffer's memory blocks into
// the reader, which needs them padded; the blocks are never merged. The
// carrier is taken out only once its document has been read: a length
// damaged in transit points into the payload or into the document, and
// cutting there would corrupt the payload. A buffer whose document is
// refused goes on as it arrived.
static bool restore(Gstzarnnvmetademux *filter, GstBuffer *buf, const Carrier &carrier,
                    const zarn::carrier::Location &where) {
  char *text = filter->reader ? zarn::demux::reader_text(*filter->reader, where.length) : NULL;
  if (!text) {
    GST_WARNING_OBJECT(filter, "no memory for a metadata document of %u bytes: not restored",
                       where.length);
  } else if (!carrier.read(buf, where, text)) {
    GST_WARNING_OBJECT(filter, "cannot read the metadata document: not restored");
  } else if (zarn::demux::restore_document(*filter->reader, where.length, buf)) {
    carrier.remove(buf, where);
    return true;
  }
  GST_WARNING_OBJECT(filter, "buffer of %" G_GSIZE_FORMAT " bytes passed on untouched",
                     gst_buffer_get_size(buf));
  return false;
}

enum class Outcome { kEmptyTrailer, kRestored, kNoTrailer, kRefused };

// Counts the buffer, and tells the application of refused documents: the
// first at once, then at most once a second while refusals go on, so that
// a damaged link does not flood the bus.
static void count(Gstzarnnvmetademux *filter, Outcome outcome) {
  bool post = false;
  guint64 refused;
  GST_OBJECT_LOCK(filter);
  filter->buffers++;
  if (outcome == Outcome::kRestored)
    filter->restored++;
  if (outcome == Outcome::kNoTrailer || outcome == Outcome::kRefused)
    filter->untouched++;
  if (outcome == Outcome::kRefused) {
    filter->refused++;
    const gint64 now = g_get_monotonic_time();
    if (filter->refusal_posted == 0 || now - filter->refusal_posted >= G_USEC_PER_SEC) {
      filter->refusal_posted = now;
      post = true;
    }
  }
  refused = filter->refused;
  GST_OBJECT_UNLOCK(filter);
  if (post)
    GST_ELEMENT_WARNING(filter, STREAM, DECODE,
                        ("Metadata document refused: the buffer was passed on untouched."),
                        ("%" G_GUINT64_FORMAT " documents refused so far; see the element's "
                         "WARNING log for why", refused));
}

static GstFlowReturn gst_zarnnvmetademux_chain(GstPad * /*pad*/, GstObject *parent,
                                               GstBuffer *buf) {
  Gstzarnnvmetademux *filter = GST_ZARNNVMETADEMUX(parent);
  using zarn::carrier::Found;

  // On H.264 and H.265 the document may be in an SEI message; anything
  // without one may still end in a trailer.
  zarn::carrier::Location where;
  const Carrier *carrier = &kSei;
  const char *why = "";
  Found found = zarn::carrier::sei::locate(buf, filter->stream, &where, &why);
  if (found == Found::kNone) {
    carrier = &kTrailer;
    found = zarn::carrier::trailer::locate(buf, &where);
  }
  if (found == Found::kNone) {
    GST_WARNING_OBJECT(filter, "buffer of %" G_GSIZE_FORMAT
                       " bytes holds no valid metadata trailer, passed on untouched",
                       gst_buffer_get_size(buf));
    count(filter, Outcome::kNoTrailer);
    return gst_pad_push(filter->srcpad, buf);
  }
  if (found == Found::kDamaged) {
    GST_WARNING_OBJECT(filter, "access unit of %" G_GSIZE_FORMAT " bytes passed on untouched: "
                       "its metadata SEI message is damaged (%s)", gst_buffer_get_size(buf), why);
    count(filter, Outcome::kRefused);
    return gst_pad_push(filter->srcpad, buf);
  }

  // Taking the carrier out and attaching metadata need a buffer of our own.
  buf = gst_buffer_make_writable(buf);

  if (carrier == &kTrailer && where.start == 0)
    GST_WARNING_OBJECT(filter, "trailer fills the whole buffer: no payload, trailer left in place");
  Outcome outcome = Outcome::kRefused;
  try {
    if (where.length == 0) {
      carrier->remove(buf, where);
      outcome = Outcome::kEmptyTrailer;
    } else if (restore(filter, buf, *carrier, where)) {
      outcome = Outcome::kRestored;
    }
  } catch (const std::exception &e) {
    GST_WARNING_OBJECT(filter, "metadata not restored: %s", e.what());
  } catch (...) {
    GST_WARNING_OBJECT(filter, "metadata not restored");
  }
  count(filter, outcome);
  return gst_pad_push(filter->srcpad, buf);
}

static gboolean zarnnvmetademux_init(GstPlugin *plugin) {
  zarn::demux::ensure_debug_category();
  return gst_element_register(plugin, "zarnnvmetademux", GST_RANK_NONE,
                              GST_TYPE_ZARNNVMETADEMUX);
}

// Written out rather than made with GST_PLUGIN_DEFINE so that it names
// GStreamer 1.14, the oldest version the plug-in runs on, whatever headers
// it is built with.
static const GstPluginDesc gst_plugin_desc = {
    1,
    14,
    "zarnnvmetademux",
    "Template zarnnvmetademux",
    zarnnvmetademux_init,
    "0.1",
    "LGPL",
    "myfirstzarnnvmetademux",
    "GStreamer",
    "https://gstreamer.freedesktop.org/",
    NULL,
    {NULL, NULL, NULL, NULL},
};

const GstPluginDesc *gst_plugin_zarnnvmetademux_get_desc(void) {
  return &gst_plugin_desc;
}

void gst_plugin_zarnnvmetademux_register(void) {
  zarn::register_static(gst_plugin_desc);
}
