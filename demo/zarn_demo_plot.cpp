// Draws the latency plot with cairo: axes with round ticks, one polyline
// per series and a legend.

#include "zarn_demo_plot.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A tick step of 1, 2 or 5 times a power of ten giving about five ticks.
double tick_step(double range) {
  const double raw = range / 5.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw)
      return m * power;
  return 10.0 * power;
}

void text(cairo_t *cr, double x, double y, const std::string &s, double align) {
  cairo_text_extents_t e;
  cairo_text_extents(cr, s.c_str(), &e);
  cairo_move_to(cr, x - e.x_advance * align, y);
  cairo_show_text(cr, s.c_str());
}

} // namespace

bool write_latency_plot(const std::string &path, const std::string &title,
                        const std::vector<PlotSeries> &series, std::string *error) {
  const int width = 900, height = 420;
  const double left = 70, right = 20, top = 40, bottom = 50;
  std::size_t frames = 1;
  long long high = 1;
  for (const PlotSeries &s : series) {
    frames = std::max(frames, s.values.size());
    for (long long v : s.values)
      high = std::max(high, v);
  }
  const double y_step = tick_step(static_cast<double>(high));
  const double y_max = std::ceil(static_cast<double>(high) / y_step) * y_step;
  const double x_step = tick_step(static_cast<double>(std::max<std::size_t>(frames - 1, 1)));
  const double x_max = std::max(1.0, static_cast<double>(frames - 1));
  const double pw = width - left - right, ph = height - top - bottom;
  auto px = [&](double frame) { return left + pw * frame / x_max; };
  auto py = [&](double ms) { return top + ph * (1.0 - ms / y_max); };

  cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  cairo_t *cr = cairo_create(surface);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 12);
  cairo_set_line_width(cr, 1);
  char label[64];
  for (double v = 0; v <= y_max + 1e-9; v += y_step) {
    cairo_set_source_rgb(cr, 0.88, 0.88, 0.88);
    cairo_move_to(cr, left, std::floor(py(v)) + 0.5);
    cairo_line_to(cr, left + pw, std::floor(py(v)) + 0.5);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    std::snprintf(label, sizeof label, "%g", v);
    text(cr, left - 6, py(v) + 4, label, 1.0);
  }
  for (double f = 0; f <= x_max + 1e-9; f += x_step) {
    std::snprintf(label, sizeof label, "%g", f);
    text(cr, px(f), top + ph + 16, label, 0.5);
  }
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_rectangle(cr, left + 0.5, top + 0.5, pw, ph);
  cairo_stroke(cr);
  text(cr, left + pw / 2, height - 12, "frame", 0.5);
  cairo_save(cr);
  cairo_translate(cr, 18, top + ph / 2);
  cairo_rotate(cr, -M_PI / 2);
  text(cr, 0, 0, "ms", 0.5);
  cairo_restore(cr);
  cairo_set_font_size(cr, 14);
  text(cr, left, 24, title, 0.0);

  cairo_set_font_size(cr, 12);
  double legend_y = top + 18;
  for (const PlotSeries &s : series) {
    cairo_set_source_rgb(cr, s.r, s.g, s.b);
    cairo_set_line_width(cr, 1.5);
    for (std::size_t i = 0; i < s.values.size(); i++) {
      const double x = px(static_cast<double>(i)), y = py(static_cast<double>(s.values[i]));
      if (i == 0)
        cairo_move_to(cr, x, y);
      else
        cairo_line_to(cr, x, y);
    }
    if (s.values.size() == 1)
      cairo_arc(cr, px(0), py(static_cast<double>(s.values[0])), 2, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_rectangle(cr, left + pw - 250, legend_y - 9, 14, 10);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.1, 0.1, 0.1);
    text(cr, left + pw - 230, legend_y, s.name, 0.0);
    legend_y += 18;
  }
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    *error = cairo_status_to_string(status);
    return false;
  }
  return true;
}
