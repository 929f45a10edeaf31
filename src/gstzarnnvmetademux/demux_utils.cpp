// Utilities the demux library exports for other elements.

#include <algorithm>
#include <cstring>

#include "gstzarnnvmetademux.h"

bool split(const std::string &text, int32_t *second, int32_t *first) {
  const std::size_t x = text.find('x');
  if (x == std::string::npos)
    return false;
  const std::string before = text.substr(0, x);
  const std::string after = text.substr(x + 1);
  *first = before.empty() ? 0 : std::stoi(before);
  *second = after.empty() ? 0 : std::stoi(after);
  return true;
}

void buffercpy(GstBuffer *destination, GstBuffer *source) {
  GstMapInfo in;
  GstMapInfo out;
  if (!gst_buffer_map(source, &in, GST_MAP_READ))
    return;
  if (!gst_buffer_map(destination, &out, GST_MAP_WRITE)) {
    gst_buffer_unmap(source, &in);
    return;
  }
  // Never past the destination's end, whatever the caller passed.
  std::memcpy(out.data, in.data, std::min(in.size, out.size));
  gst_buffer_unmap(destination, &out);
  gst_buffer_unmap(source, &in);
}
