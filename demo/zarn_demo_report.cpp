// Compares what a sender's zarndemotap wrote with what a receiver's wrote
// and prints a short report; exits non-zero on any difference.
//
//   zarn-demo-report [--expect N] SENDER.tsv RECEIVER.tsv SENDER-LOG [RECEIVER-LOG]
//
// With --expect, the sender must have sent exactly N buffers.

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Line {
  unsigned long frames = 0;
  unsigned long objects = 0;
  std::string size;
  std::string sha1;
  long long latency = -1;
  std::string description;
};

std::map<unsigned long, Line> read_tap(const std::string &path, bool *ok) {
  std::map<unsigned long, Line> lines;
  std::ifstream in(path);
  *ok = static_cast<bool>(in);
  std::string text;
  while (std::getline(in, text)) {
    std::istringstream fields(text);
    std::string index, frames, objects, latency;
    Line line;
    std::getline(fields, index, '\t');
    std::getline(fields, frames, '\t');
    std::getline(fields, objects, '\t');
    std::getline(fields, line.size, '\t');
    std::getline(fields, line.sha1, '\t');
    std::getline(fields, latency, '\t');
    std::getline(fields, line.description);
    try {
      line.frames = std::stoul(frames);
      line.objects = std::stoul(objects);
      line.latency = std::stoll(latency);
      lines[std::stoul(index)] = line;
    } catch (const std::exception &) {
      *ok = false;
    }
  }
  return lines;
}

// Every "pipeline_time" of a document log (one document and "," a line).
std::vector<long long> pipeline_times(const std::string &path, unsigned long *documents) {
  std::vector<long long> times;
  std::ifstream in(path);
  std::string text;
  *documents = 0;
  while (std::getline(in, text)) {
    if (!text.empty() && text.back() == ',')
      text.pop_back();
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    if (doc.is_discarded())
      continue;
    ++*documents;
    for (const auto &frame : doc.value("frames", nlohmann::json::array())) {
      if (frame.is_object() && frame.contains("ts") && frame["ts"].contains("pipeline_time"))
        times.push_back(frame["ts"]["pipeline_time"].get<long long>());
    }
  }
  return times;
}

std::string median_max(std::vector<long long> values) {
  if (values.empty())
    return "none";
  std::sort(values.begin(), values.end());
  return "median " + std::to_string(values[values.size() / 2]) + " ms, max " +
         std::to_string(values.back()) + " ms";
}

} // namespace

int main(int argc, char **argv) {
  long expect = -1;
  if (argc > 2 && std::string(argv[1]) == "--expect") {
    expect = std::atol(argv[2]);
    argc -= 2;
    argv += 2;
  }
  if (argc < 4) {
    std::cerr << "usage: zarn-demo-report [--expect N] SENDER.tsv RECEIVER.tsv SENDER-LOG "
                 "[RECEIVER-LOG]\n";
    return 2;
  }
  bool sender_ok, receiver_ok;
  const auto sent = read_tap(argv[1], &sender_ok);
  const auto got = read_tap(argv[2], &receiver_ok);

  unsigned long frames_sent = 0, objects_sent = 0, frames_got = 0, objects_got = 0;
  unsigned long payload_same = 0, meta_mismatches = 0, missing = 0;
  std::string first_mismatch;
  std::vector<long long> latencies;
  for (const auto &entry : sent) {
    frames_sent += entry.second.frames;
    objects_sent += entry.second.objects;
    auto found = got.find(entry.first);
    if (found == got.end()) {
      missing++;
      continue;
    }
    const Line &a = entry.second;
    const Line &b = found->second;
    if (a.size == b.size && a.sha1 == b.sha1)
      payload_same++;
    if (a.frames != b.frames || a.objects != b.objects || a.description != b.description) {
      meta_mismatches++;
      if (first_mismatch.empty())
        first_mismatch = "buffer " + std::to_string(entry.first) + "\n  sent:     " +
                         a.description.substr(0, 300) + "\n  restored: " +
                         b.description.substr(0, 300);
    }
    if (b.latency >= 0)
      latencies.push_back(b.latency);
  }
  for (const auto &entry : got) {
    frames_got += entry.second.frames;
    objects_got += entry.second.objects;
  }
  unsigned long sender_docs = 0, receiver_docs = 0;
  const std::vector<long long> times = pipeline_times(argv[3], &sender_docs);
  if (argc > 4)
    pipeline_times(argv[4], &receiver_docs);

  const bool ok = sender_ok && receiver_ok && !sent.empty() && missing == 0 &&
                  meta_mismatches == 0 && payload_same == sent.size() &&
                  got.size() == sent.size() &&
                  (expect < 0 || sent.size() == static_cast<std::size_t>(expect));
  std::printf("zarnnvmeta round trip: %s\n", ok ? "OK" : "FAILED");
  std::printf("  buffers     sent %zu", sent.size());
  if (expect >= 0)
    std::printf(" (of %ld)", expect);
  std::printf(", received %zu, missing %lu\n", got.size(), missing);
  std::printf("  frames      sent %lu, restored %lu\n", frames_sent, frames_got);
  std::printf("  objects     sent %lu, restored %lu\n", objects_sent, objects_got);
  std::printf("  payload     %lu of %zu buffers byte-identical (SHA-1)\n", payload_same,
              sent.size());
  std::printf("  metadata    %lu mismatches\n", meta_mismatches);
  std::printf("  pipeline_time (sender documents)   %s\n", median_max(times).c_str());
  std::printf("  received -> restored (end to end)  %s\n", median_max(latencies).c_str());
  std::printf("  document logs: sender %s (%lu documents)", argv[3], sender_docs);
  if (argc > 4)
    std::printf(", receiver %s (%lu documents)", argv[4], receiver_docs);
  std::printf("\n");
  if (!first_mismatch.empty())
    std::printf("  first mismatch: %s\n", first_mismatch.c_str());
  return ok ? 0 : 1;
}
