// Set-up shared by the fuzz targets, and a generator that turns fuzzer bytes
// into a JSON document of arbitrary shape built mostly from the member names
// of the metadata document, so that inputs reach the restorers rather than
// stopping in the parser.
#ifndef ZARN_FUZZ_COMMON_H
#define ZARN_FUZZ_COMMON_H

#include <cstdint>
#include <cstring>
#include <string>

#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include "gstzarnnvmetademux.h"
#include "gstzarnnvmetamux.h"

namespace zarn_fuzz {

inline void init_gstreamer() {
  // No plug-in scanning, no scanner child process: only the two elements,
  // registered statically.
  g_setenv("GST_REGISTRY_FORK", "no", TRUE);
  g_setenv("GST_PLUGIN_SYSTEM_PATH", "", TRUE);
  g_setenv("GST_PLUGIN_PATH", "", TRUE);
  gchar *registry = g_build_filename(g_get_tmp_dir(), "zarn-fuzz-registry.bin", NULL);
  g_setenv("GST_REGISTRY", registry, TRUE);
  g_free(registry);
  gst_init(NULL, NULL);
  gst_plugin_zarnnvmetamux_register();
  gst_plugin_zarnnvmetademux_register();
}

// Pushes a buffer of the bytes through the harness and pulls what comes
// out; a flow error or no output is a finding.
inline GstBuffer *push_bytes(GstHarness *harness, const std::uint8_t *data, std::size_t size) {
  GstBuffer *in = gst_buffer_new_allocate(NULL, size, NULL);
  gst_buffer_fill(in, 0, data, size);
  if (gst_harness_push(harness, in) != GST_FLOW_OK)
    __builtin_trap();
  GstBuffer *out = gst_harness_pull(harness);
  if (!out || gst_buffer_get_size(out) > size)
    __builtin_trap();
  return out;
}

class DocumentGenerator {
public:
  DocumentGenerator(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

  // {"frames": [...]} with frame, object, tracker and class entries of the
  // writer's shape most of the time, any member of any type now and then.
  nlohmann::json document() {
    if (byte() % 16 == 0)
      return value(0);
    nlohmann::json root = nlohmann::json::object();
    nlohmann::json frames = nlohmann::json::array();
    const int n = byte() % 5;
    for (int i = 0; i < n; i++)
      frames.push_back(byte() % 8 ? frame_entry() : value(1));
    root["frames"] = std::move(frames);
    if (byte() % 8 == 0)
      root[name()] = value(1);
    return root;
  }

private:
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  template <typename T> T raw() {
    T value{};
    std::uint8_t bytes[sizeof(T)] = {};
    for (auto &b : bytes)
      b = byte();
    std::memcpy(&value, bytes, sizeof(T));
    return value;
  }

  std::string name() {
    static const char *const names[] = {
        "frames", "frame_num", "objects", "id", "ts", "resolution", "received",
        "pipeline_time", "corrected", "img_pts", "src", "mux", "left", "top", "width",
        "height", "confidence", "obj_label", "display_text", "tracker", "classes",
        "class_id", "tracker_confidence", "object_id", "result_label", "result_prob",
        "classifier_id", "x"};
    return names[byte() % (sizeof names / sizeof names[0])];
  }

  std::string text() {
    const std::size_t n = byte() % 4 == 0 ? byte() + 120u : byte() % 12u;
    std::string s;
    for (std::size_t i = 0; i < n; i++)
      s.push_back(static_cast<char>(byte() % 3 ? 'a' + byte() % 26 : byte()));
    return s;
  }

  // Usually a value of the member's own kind, sometimes anything.
  nlohmann::json typed(bool is_text) {
    if (byte() % 8 == 0)
      return value(4);
    return is_text ? nlohmann::json(text()) : number();
  }

  nlohmann::json number() {
    switch (byte() % 4) {
    case 0: return static_cast<std::int64_t>(byte()) - 64;
    case 1: return raw<std::int64_t>();
    case 2: return raw<std::uint64_t>();
    default: return byte() % 2 ? raw<double>() : (byte() - 128) / 8.0;
    }
  }

  void maybe(nlohmann::json &o, const char *member, bool is_text) {
    if (byte() % 4)
      o[member] = typed(is_text);
  }

  nlohmann::json frame_entry() {
    nlohmann::json o = byte() % 4 ? nlohmann::json::object() : object(2);
    maybe(o, "frame_num", false);
    maybe(o, "id", false);
    if (byte() % 3 == 0) {
      nlohmann::json ts = nlohmann::json::object();
      for (const char *m : {"received", "pipeline_time", "corrected", "img_pts"})
        maybe(ts, m, false);
      o["ts"] = std::move(ts);
    }
    if (byte() % 3 == 0) {
      nlohmann::json res = nlohmann::json::object();
      for (const char *m : {"src", "mux"})
        if (byte() % 3)
          res[m] = byte() % 4 ? nlohmann::json::array({number(), number()}) : value(3);
      o["resolution"] = std::move(res);
    }
    if (byte() % 4) {
      nlohmann::json objects = nlohmann::json::array();
      const int n = byte() % 4;
      for (int i = 0; i < n; i++)
        objects.push_back(byte() % 8 ? object_entry() : value(3));
      o["objects"] = std::move(objects);
    }
    return o;
  }

  nlohmann::json object_entry() {
    nlohmann::json o = byte() % 4 ? nlohmann::json::object() : object(3);
    for (const char *m : {"left", "top", "width", "height", "confidence", "class_id"})
      maybe(o, m, false);
    maybe(o, "obj_label", true);
    maybe(o, "display_text", true);
    if (byte() % 2) {
      nlohmann::json tracker = nlohmann::json::object();
      for (const char *m : {"left", "top", "width", "height", "tracker_confidence", "object_id"})
        maybe(tracker, m, false);
      o["tracker"] = std::move(tracker);
    }
    if (byte() % 4) {
      nlohmann::json classes = nlohmann::json::array();
      const int n = byte() % 4;
      for (int i = 0; i < n; i++) {
        nlohmann::json c = nlohmann::json::object();
        maybe(c, "result_label", true);
        maybe(c, "result_prob", false);
        if (byte() % 4)
          c["classifier_id"] = static_cast<int>(byte() % 3);
        classes.push_back(byte() % 8 ? c : value(4));
      }
      o["classes"] = std::move(classes);
    }
    return o;
  }

  nlohmann::json object(int depth) {
    nlohmann::json o = nlohmann::json::object();
    const int n = byte() % 8;
    for (int i = 0; i < n; i++)
      o[name()] = value(depth + 1);
    return o;
  }

  nlohmann::json value(int depth) {
    const int kind = byte() % (depth > 6 ? 6 : 9);
    switch (kind) {
    case 0: return nullptr;
    case 1: return byte() % 2 == 1;
    case 2: return static_cast<std::int64_t>(byte() % 2 ? raw<std::int64_t>() : byte() - 128);
    case 3: return raw<std::uint64_t>();
    case 4: return byte() % 2 ? raw<double>() : (byte() - 128) / 8.0;
    case 5: return text();
    case 6:
    case 7: return object(depth);
    default: {
      nlohmann::json a = nlohmann::json::array();
      const int n = byte() % 6;
      for (int i = 0; i < n; i++)
        a.push_back(byte() % 2 ? object(depth + 1) : value(depth + 1));
      return a;
    }
    }
  }

  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The document text the way the mux writes text: invalid UTF-8 replaced.
inline std::string dump(const nlohmann::json &doc) {
  return doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace zarn_fuzz

#endif
