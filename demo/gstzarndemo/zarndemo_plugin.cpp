// The demo plug-in: stand-ins for the stages around the mux and the demux.

#include "zarndemo.h"

#define PACKAGE "zarndemo"

static gboolean plugin_init(GstPlugin *plugin) {
  return gst_element_register(plugin, "zarndemorecords", GST_RANK_NONE,
                              zarn_demo_records_get_type()) &&
         gst_element_register(plugin, "zarndemostreammux", GST_RANK_NONE,
                              zarn_demo_streammux_get_type()) &&
         gst_element_register(plugin, "zarndemodetector", GST_RANK_NONE,
                              zarn_demo_detector_get_type()) &&
         gst_element_register(plugin, "zarndemotap", GST_RANK_NONE, zarn_demo_tap_get_type()) &&
         gst_element_register(plugin, "zarndemooverlay", GST_RANK_NONE,
                              zarn_demo_overlay_get_type()) &&
         gst_element_register(plugin, "zarndemosheet", GST_RANK_NONE,
                              zarn_demo_sheet_get_type());
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, zarndemo,
                  "Demo stand-ins for the stages around zarnnvmetamux and zarnnvmetademux",
                  plugin_init, "0.1", "LGPL", "zarnnvmeta demo",
                  "https://gstreamer.freedesktop.org/")
