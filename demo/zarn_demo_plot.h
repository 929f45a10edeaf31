// The report's picture of latency: one point per frame, in frame order.
#ifndef ZARN_DEMO_PLOT_H
#define ZARN_DEMO_PLOT_H

#include <string>
#include <vector>

struct PlotSeries {
  std::string name;
  std::vector<long long> values; // ms, one per frame
  double r, g, b;
};

// Writes a line plot of the series as a PNG; false, with `error` set, when
// it cannot be written.
bool write_latency_plot(const std::string &path, const std::string &title,
                        const std::vector<PlotSeries> &series, std::string *error);

#endif
