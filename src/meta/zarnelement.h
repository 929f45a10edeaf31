// The element frame both plug-ins share: GStreamer's element template with
// one always-present sink and source pad proxying caps, a "silent"
// property, and the plug-in descriptor's static registration.
#ifndef ZARNELEMENT_H
#define ZARNELEMENT_H

#include <gst/gst.h>

namespace zarn {

inline GParamSpec *silent_param_spec() {
  return g_param_spec_boolean("silent", "Silent", "Produce verbose output ?", FALSE,
                              static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
}

// A read-only GstStructure of counters since the element was made, as
// identity's "stats": what an application reads instead of the log.
inline GParamSpec *stats_param_spec(const char *blurb) {
  return g_param_spec_boxed("stats", "Statistics", blurb, GST_TYPE_STRUCTURE,
                            static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS));
}

inline void set_template_class(GstElementClass *klass, const char *longname,
                               GstStaticPadTemplate *sink, GstStaticPadTemplate *src) {
  gst_element_class_set_static_metadata(klass, longname, "FIXME:Generic",
                                        "FIXME:Generic Template Element",
                                        "zarn developers <dev@zarn.invalid>");
  gst_element_class_add_static_pad_template(klass, src);
  gst_element_class_add_static_pad_template(klass, sink);
}

// The sink pad (with the event and chain functions) first, then the source
// pad; both proxy caps.
inline void add_template_pads(GstElement *element, GstStaticPadTemplate *sink,
                              GstStaticPadTemplate *src, GstPadEventFunction event,
                              GstPadChainFunction chain, GstPad **sinkpad, GstPad **srcpad) {
  *sinkpad = gst_pad_new_from_static_template(sink, "sink");
  gst_pad_set_event_function(*sinkpad, event);
  gst_pad_set_chain_function(*sinkpad, chain);
  GST_PAD_SET_PROXY_CAPS(*sinkpad);
  gst_element_add_pad(element, *sinkpad);

  *srcpad = gst_pad_new_from_static_template(src, "src");
  GST_PAD_SET_PROXY_CAPS(*srcpad);
  gst_element_add_pad(element, *srcpad);
}

// GObject's own warning for an invalid property id, naming the element's
// source directory.
inline void warn_invalid_property_id(GObject *object, guint prop_id, GParamSpec *pspec,
                                     const char *source, int line) {
  g_warning("%s:%d: invalid %s id %u for \"%s\" of type '%s' in '%s'", source, line, "property",
            prop_id, pspec->name, g_type_name(G_PARAM_SPEC_TYPE(pspec)),
            g_type_name(G_OBJECT_TYPE(object)));
}

inline void register_static(const GstPluginDesc &desc) {
  gst_plugin_register_static(desc.major_version, desc.minor_version, desc.name,
                             desc.description, desc.plugin_init, desc.version, desc.license,
                             desc.source, desc.package, desc.origin);
}

} // namespace zarn

#endif // ZARNELEMENT_H
