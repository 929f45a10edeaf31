// Collects what one debug category logs while it lives.
#ifndef ZARN_TESTS_DEBUG_LOG_H
#define ZARN_TESTS_DEBUG_LOG_H

#include <gst/gst.h>

#include <mutex>
#include <string>
#include <vector>

namespace zarn_test {

class DebugLog {
public:
  struct Line {
    GstDebugLevel level;
    bool names_object; // logged against an object, the element
    std::string text;
  };

  DebugLog(const char *category, GstDebugLevel threshold) : category_(category) {
    gst_debug_set_active(TRUE);
    gst_debug_set_threshold_for_name(category, threshold);
    gst_debug_add_log_function(&DebugLog::collect, this, NULL);
  }
  ~DebugLog() {
    gst_debug_remove_log_function_by_data(this);
    gst_debug_unset_threshold_for_name(category_.c_str());
  }
  DebugLog(const DebugLog &) = delete;
  DebugLog &operator=(const DebugLog &) = delete;

  // The lines of `level` that contain `part`.
  std::vector<Line> find(GstDebugLevel level, const std::string &part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Line> found;
    for (const Line &line : lines_)
      if (line.level == level && line.text.find(part) != std::string::npos)
        found.push_back(line);
    return found;
  }

private:
  static void collect(GstDebugCategory *category, GstDebugLevel level, const gchar *,
                      const gchar *, gint, GObject *object, GstDebugMessage *message,
                      gpointer data) {
    auto *self = static_cast<DebugLog *>(data);
    if (self->category_ != gst_debug_category_get_name(category))
      return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back({level, object != NULL, gst_debug_message_get(message)});
  }

  std::string category_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

} // namespace zarn_test

#endif
