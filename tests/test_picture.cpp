// The demo's picture of what came through: metadata muxed, carried over gdp
// bytes, demuxed, drawn onto the frames and put on a contact sheet. The
// sheet must decode as a PNG, show each restored box's edge in the box's
// colour, and leave the frame well away from every box without any of
// those colours.

#include <gtest/gtest.h>

#include <cairo.h>
#include <gst/gst.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarndemo_frame.h"

namespace {

const int kWidth = 320, kHeight = 240;
const int kMuxWidth = 640, kMuxHeight = 480;

std::string temp_dir() {
  char name[] = "/tmp/zarn-picture-XXXXXX";
  return mkdtemp(name);
}

// Runs the pipeline to its end; false when it failed.
bool run(const std::string &description, std::string *error) {
  GError *parse_error = NULL;
  GstElement *pipeline = gst_parse_launch(description.c_str(), &parse_error);
  if (!pipeline) {
    *error = parse_error ? parse_error->message : "cannot parse";
    g_clear_error(&parse_error);
    return false;
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus *bus = gst_element_get_bus(pipeline);
  GstMessage *message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  bool ok = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
  if (message && !ok) {
    GError *e = NULL;
    gst_message_parse_error(message, &e, NULL);
    *error = e ? e->message : "error";
    g_clear_error(&e);
  } else if (!message) {
    *error = "no end of stream within 60 s";
  }
  if (message)
    gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return ok;
}

struct Rgb {
  int r, g, b;
};

Rgb pixel(cairo_surface_t *sheet, int x, int y) {
  const unsigned char *data = cairo_image_surface_get_data(sheet);
  const int stride = cairo_image_surface_get_stride(sheet);
  const guint32 p = *reinterpret_cast<const guint32 *>(data + stride * y + 4 * x);
  return {static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF),
          static_cast<int>(p & 0xFF)};
}

// Within what the trip through I420 and back to RGB changes.
bool near(Rgb a, ZarnDemoColour c) {
  return std::abs(a.r - c.r) <= 24 && std::abs(a.g - c.g) <= 24 && std::abs(a.b - c.b) <= 24;
}

struct Box {
  std::string label;
  int left, top, right, bottom; // in the frame's pixels
};

} // namespace

TEST(Picture, RestoredBoxesAreDrawnInTheirColourAndNothingElseIs) {
  const std::string dir = temp_dir();
  const std::string documents = dir + "/documents.txt";
  const std::string sheet_path = dir + "/sheet.png";
  std::string error;
  ASSERT_TRUE(run("videotestsrc num-buffers=4 pattern=ball ! video/x-raw,format=I420,width=" +
                      std::to_string(kWidth) + ",height=" + std::to_string(kHeight) +
                      " ! zarndemorecords mux-width=" + std::to_string(kMuxWidth) +
                      " mux-height=" + std::to_string(kMuxHeight) +
                      " ! zarndemostreammux ! zarndemodetector ball=true num-objects=4 seed=7"
                      " ! zarnnvmetamux savepath=" + documents +
                      " ! gdppay ! gdpdepay ! zarnnvmetademux ! zarndemooverlay ! videoconvert"
                      " ! video/x-raw,format=BGRx ! zarndemosheet location=" + sheet_path +
                      " count=1 columns=1 tile-width=" + std::to_string(kWidth) +
                      " expected=4 ! fakesink",
                  &error))
      << error;

  // The boxes of the first frame, as the sender wrote them, in the frame's
  // pixels (they are in the stream muxer's, twice the size).
  std::ifstream in(documents);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  line.pop_back(); // the log's comma
  const nlohmann::json document = nlohmann::json::parse(line);
  std::vector<Box> boxes;
  for (const auto &obj : document["frames"][0]["objects"]) {
    const double sx = static_cast<double>(kWidth) / kMuxWidth;
    const double sy = static_cast<double>(kHeight) / kMuxHeight;
    const int left = static_cast<int>(obj["left"].get<double>() * sx);
    const int top = static_cast<int>(obj["top"].get<double>() * sy);
    boxes.push_back({obj["obj_label"].get<std::string>(), left, top,
                     left + static_cast<int>(obj["width"].get<double>() * sx),
                     top + static_cast<int>(obj["height"].get<double>() * sy)});
  }
  ASSERT_EQ(boxes.size(), 5u);
  ASSERT_EQ(boxes[0].label, "ball");

  cairo_surface_t *sheet = cairo_image_surface_create_from_png(sheet_path.c_str());
  ASSERT_EQ(cairo_surface_status(sheet), CAIRO_STATUS_SUCCESS) << "the sheet does not decode";
  ASSERT_EQ(cairo_image_surface_get_width(sheet), kWidth);
  ASSERT_GE(cairo_image_surface_get_height(sheet), kHeight);

  int checked_edges = 0;
  for (const Box &box : boxes) {
    // The middle of the left edge, where no caption goes; boxes that
    // leave the frame are not checked.
    if (box.left < 2 || box.right >= kWidth - 2 || box.top < 0 || box.bottom >= kHeight)
      continue;
    const int y = (box.top + box.bottom) / 2;
    const Rgb edge = pixel(sheet, box.left, y);
    EXPECT_TRUE(near(edge, zarn_demo_colour(box.label.c_str())))
        << box.label << " at " << box.left << "," << y << ": " << edge.r << " " << edge.g << " "
        << edge.b;
    checked_edges++;
  }
  EXPECT_GE(checked_edges, 2);

  // Well outside every box and its caption (above it, to the right).
  int outside = 0;
  for (int y = 0; y < kHeight; y += 6) {
    for (int x = 0; x < kWidth; x += 6) {
      bool near_a_box = false;
      for (const Box &box : boxes)
        near_a_box = near_a_box || (x > box.left - 12 && x < box.right + 160 &&
                                    y > box.top - 30 && y < box.bottom + 30);
      if (near_a_box)
        continue;
      outside++;
      const Rgb p = pixel(sheet, x, y);
      for (const Box &box : boxes)
        EXPECT_FALSE(near(p, zarn_demo_colour(box.label.c_str())))
            << "pixel " << x << "," << y << " has the colour of " << box.label;
    }
  }
  EXPECT_GT(outside, 100);
  cairo_surface_destroy(sheet);
  unlink(documents.c_str());
  unlink(sheet_path.c_str());
  rmdir(dir.c_str());
}
