// Compares what a sender's zarndemotap wrote with what the taps after each
// demux wrote and prints a short report; exits non-zero when the run did not
// do what it must.
//
//   zarn-demo-report [--expect N] [--lossy] [--relay RELAY.tsv] [--plot PNG]
//                    [--payload-from REFERENCE.tsv]
//                    SENDER.tsv RECEIVER.tsv SENDER-LOG [RECEIVER-LOG]
//   zarn-demo-report --faults [--warnings W] [--payload-from REFERENCE.tsv]
//                    SENDER.tsv ARRIVED.tsv RELAY.tsv RECEIVER.tsv
//
// A lossless run must bring back every buffer, in order, with identical
// payload and metadata. With --lossy (a stage that may lose buffers, such as
// SRT's live mode) buffers may be missing, but every delivered one must be
// one the sender sent, delivered once. With --expect, the sender must have
// sent exactly N buffers. --relay adds the middle hop's tap. --plot draws
// "pipeline_time" per frame at the sender and at the receiver (end to end).
// --payload-from is for a stage that rewrites the payload's framing (an RTP
// depayloader's avc output): the payloads must then be those of REFERENCE,
// the sender's own stream passed through the same stage without the mux.
//
// --faults judges a relay behind a faulty link: each buffer its demux passed
// on (RELAY.tsv) is either exact, one the sender sent, or untouched, the
// bytes that arrived (ARRIVED.tsv, the tap before its demux) without any
// metadata; the receiver behind the relay gets exactly what the relay passed
// on. W is the number of WARNINGs the relay's demux logged; every untouched
// buffer needs one.

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "zarn_demo_plot.h"

namespace {

struct Line {
  unsigned long frames = 0;
  unsigned long objects = 0;
  std::string size;
  std::string sha1;
  long long latency = -1;
  std::string description;

  // What must come back: the payload's bytes and every metadata value.
  std::tuple<std::string, std::string, std::string> content() const {
    return std::make_tuple(size, sha1, description);
  }
  bool has_metadata() const { return description != "B"; }
};

struct Tap {
  std::vector<Line> lines;
  bool ok = false;
};

Tap read_tap(const std::string &path) {
  Tap tap;
  std::ifstream in(path);
  tap.ok = static_cast<bool>(in);
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
      // Lines are written in order; the index only checks that.
      if (std::stoul(index) != tap.lines.size())
        tap.ok = false;
      line.frames = std::stoul(frames);
      line.objects = std::stoul(objects);
      line.latency = std::stoll(latency);
      tap.lines.push_back(line);
    } catch (const std::exception &) {
      tap.ok = false;
    }
  }
  return tap;
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
      if (frame.is_object() && frame.contains("ts") && frame["ts"].contains("pipeline_time") &&
          frame["ts"]["pipeline_time"].is_number_integer())
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

// How one hop's output compares with what the sender sent.
struct Hop {
  std::size_t delivered = 0;
  std::size_t exact = 0;
  std::size_t payload_same = 0;
  std::size_t mismatches = 0;
  std::string first_mismatch;
};

void mismatch(Hop &hop, std::size_t index, const Line *sent, const Line &got) {
  hop.mismatches++;
  if (!hop.first_mismatch.empty())
    return;
  hop.first_mismatch = "buffer " + std::to_string(index) + "\n  sent:     " +
                       (sent ? sent->description.substr(0, 300) : "(none like it)") +
                       "\n  restored: " + got.description.substr(0, 300);
}

// In order, buffer by buffer; or, for a lossy stage, each delivered buffer
// must be one that was sent and come only once.
Hop compare(const Tap &sent, const Tap &got, bool lossy) {
  Hop hop;
  hop.delivered = got.lines.size();
  if (!lossy) {
    for (std::size_t i = 0; i < got.lines.size(); ++i) {
      const Line *a = i < sent.lines.size() ? &sent.lines[i] : nullptr;
      const Line &b = got.lines[i];
      if (a && a->size == b.size && a->sha1 == b.sha1)
        hop.payload_same++;
      if (a && a->content() == b.content())
        hop.exact++;
      else
        mismatch(hop, i, a, b);
    }
    return hop;
  }
  std::map<std::tuple<std::string, std::string, std::string>, std::size_t> remaining;
  std::set<std::pair<std::string, std::string>> payloads;
  for (const Line &a : sent.lines) {
    remaining[a.content()]++;
    payloads.insert({a.size, a.sha1});
  }
  for (std::size_t i = 0; i < got.lines.size(); ++i) {
    const Line &b = got.lines[i];
    if (payloads.count({b.size, b.sha1}))
      hop.payload_same++;
    auto found = remaining.find(b.content());
    if (found != remaining.end() && found->second > 0) {
      found->second--;
      hop.exact++;
    } else {
      mismatch(hop, i, nullptr, b);
    }
  }
  return hop;
}

unsigned long sum(const Tap &tap, unsigned long Line::*field) {
  unsigned long total = 0;
  for (const Line &line : tap.lines)
    total += line.*field;
  return total;
}

// For a stage that rewrites the framing: the payloads the sender's buffers
// must arrive with are those of the reference tap. False when it does not
// match the sender's buffer for buffer.
bool take_payloads(Tap &sent, const std::string &path) {
  if (path.empty())
    return true;
  const Tap reference = read_tap(path);
  if (!reference.ok || reference.lines.size() != sent.lines.size()) {
    std::printf("  payload     the reference %s holds %zu buffers, the sender sent %zu\n",
                path.c_str(), reference.lines.size(), sent.lines.size());
    return false;
  }
  for (std::size_t i = 0; i < sent.lines.size(); ++i) {
    sent.lines[i].size = reference.lines[i].size;
    sent.lines[i].sha1 = reference.lines[i].sha1;
  }
  return true;
}

int report_faults(long warnings, const std::string &payload_path, char **paths) {
  Tap sent = read_tap(paths[0]);
  if (!take_payloads(sent, payload_path))
    sent.ok = false;
  // Where the stage rewrites the framing, an access unit that lost part of
  // a slice still carries an intact document: its metadata must be the
  // sender's, and its payload is what the stage made of it. Behind the
  // relay the stage rewrites damaged access units again, so the receiver
  // is held only to metadata that was sent.
  const bool rewritten = !payload_path.empty();
  std::set<std::string> sent_descriptions;
  for (const Line &a : sent.lines)
    sent_descriptions.insert(a.description);
  const Tap arrived = read_tap(paths[1]);
  const Tap relay = read_tap(paths[2]);
  const Tap receiver = read_tap(paths[3]);

  std::map<std::tuple<std::string, std::string, std::string>, std::size_t> sent_content;
  for (const Line &a : sent.lines)
    sent_content[a.content()]++;
  std::size_t exact = 0, untouched = 0, other = 0;
  std::string first_other;
  for (std::size_t i = 0; i < relay.lines.size(); ++i) {
    const Line &out = relay.lines[i];
    const Line *in = i < arrived.lines.size() ? &arrived.lines[i] : nullptr;
    if (out.has_metadata() && (rewritten ? sent_descriptions.count(out.description) != 0
                                          : sent_content.count(out.content()) != 0)) {
      exact++;
    } else if (!out.has_metadata() && in && in->size == out.size && in->sha1 == out.sha1) {
      untouched++;
    } else {
      other++;
      if (first_other.empty())
        first_other = "relay buffer " + std::to_string(i) + ": " + out.size + " bytes, " +
                      out.description.substr(0, 300);
    }
  }
  // The link behind the relay is sound: the receiver gets what the relay
  // passed on, buffer for buffer, payload and metadata.
  std::size_t passed_on = 0;
  for (std::size_t i = 0; i < receiver.lines.size(); ++i) {
    const Line &got = receiver.lines[i];
    if (rewritten ? !got.has_metadata() || sent_descriptions.count(got.description) != 0
                  : i < relay.lines.size() && got.content() == relay.lines[i].content())
      passed_on++;
  }

  const bool warned = warnings < 0 || static_cast<std::size_t>(warnings) >= untouched;
  const bool ok = sent.ok && arrived.ok && relay.ok && receiver.ok && !sent.lines.empty() &&
                  !relay.lines.empty() && arrived.lines.size() == relay.lines.size() &&
                  other == 0 && warned &&
                  (rewritten ? passed_on == receiver.lines.size() && !receiver.lines.empty()
                             : passed_on == relay.lines.size() &&
                                   receiver.lines.size() == relay.lines.size());
  std::printf("zarnnvmeta faults in transit: %s\n", ok ? "OK" : "FAILED");
  std::printf("  buffers     sent %zu, delivered to the relay %zu\n", sent.lines.size(),
              relay.lines.size());
  std::printf("  relay       %zu %s, %zu passed on untouched, %zu neither\n", exact,
              rewritten ? "with the sender's metadata" : "exact", untouched, other);
  if (warnings >= 0)
    std::printf("  warnings    %ld from the relay's demux\n", warnings);
  if (rewritten)
    std::printf("  receiver    %zu of %zu buffers without metadata or with the sender's\n",
                passed_on, receiver.lines.size());
  else
    std::printf("  receiver    %zu of %zu buffers as the relay passed them on\n", passed_on,
                relay.lines.size());
  if (!first_other.empty())
    std::printf("  first of neither: %s\n", first_other.c_str());
  if (!warned)
    std::printf("  fewer warnings than untouched buffers\n");
  return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
  long expect = -1;
  long warnings = -1;
  bool lossy = false;
  bool faults = false;
  std::string relay_path;
  std::string plot_path;
  std::string payload_path;
  int arg = 1;
  for (; arg < argc && std::string(argv[arg]).compare(0, 2, "--") == 0; ++arg) {
    const std::string option = argv[arg];
    if (option == "--lossy") {
      lossy = true;
    } else if (option == "--faults") {
      faults = true;
    } else if (option == "--expect" && arg + 1 < argc) {
      expect = std::atol(argv[++arg]);
    } else if (option == "--warnings" && arg + 1 < argc) {
      warnings = std::atol(argv[++arg]);
    } else if (option == "--relay" && arg + 1 < argc) {
      relay_path = argv[++arg];
    } else if (option == "--payload-from" && arg + 1 < argc) {
      payload_path = argv[++arg];
    } else if (option == "--plot" && arg + 1 < argc) {
      plot_path = argv[++arg];
    } else {
      std::cerr << "unknown option " << option << "\n";
      return 2;
    }
  }
  char **paths = argv + arg;
  const int count = argc - arg;
  if (faults) {
    if (count != 4) {
      std::cerr << "usage: zarn-demo-report --faults [--warnings W] SENDER.tsv ARRIVED.tsv "
                   "RELAY.tsv RECEIVER.tsv\n";
      return 2;
    }
    return report_faults(warnings, payload_path, paths);
  }
  if (count < 3) {
    std::cerr << "usage: zarn-demo-report [--expect N] [--lossy] [--relay RELAY.tsv] "
                 "SENDER.tsv RECEIVER.tsv SENDER-LOG [RECEIVER-LOG]\n";
    return 2;
  }
  Tap sent = read_tap(paths[0]);
  const Tap got = read_tap(paths[1]);
  if (!take_payloads(sent, payload_path))
    sent.ok = false;
  Tap relay;
  Hop first_hop;
  if (!relay_path.empty()) {
    relay = read_tap(relay_path);
    first_hop = compare(sent, relay, lossy);
  }
  const Hop hop = compare(sent, got, lossy);

  unsigned long sender_docs = 0, receiver_docs = 0;
  const std::vector<long long> sender_times = pipeline_times(paths[2], &sender_docs);
  std::vector<long long> receiver_times;
  if (count > 3)
    receiver_times = pipeline_times(paths[3], &receiver_docs);
  std::vector<long long> latencies;
  for (const Line &line : got.lines)
    if (line.latency >= 0)
      latencies.push_back(line.latency);

  // A run whose sender attached nothing proves nothing about metadata.
  const unsigned long frames_sent = sum(sent, &Line::frames);
  const bool complete = lossy || (got.lines.size() == sent.lines.size() &&
                                  (relay_path.empty() || relay.lines.size() == sent.lines.size()));
  const bool ok = sent.ok && got.ok && (relay_path.empty() || relay.ok) && frames_sent > 0 &&
                  !got.lines.empty() && hop.mismatches == 0 && first_hop.mismatches == 0 &&
                  complete &&
                  (expect < 0 || sent.lines.size() == static_cast<std::size_t>(expect));
  std::printf("zarnnvmeta round trip: %s\n", ok ? "OK" : "FAILED");
  std::printf("  buffers     sent %zu", sent.lines.size());
  if (expect >= 0)
    std::printf(" (of %ld)", expect);
  if (!relay_path.empty())
    std::printf(", delivered to the relay %zu of %zu", relay.lines.size(), sent.lines.size());
  std::printf(", delivered to the receiver %zu of %zu%s\n", got.lines.size(),
              relay_path.empty() ? sent.lines.size() : relay.lines.size(),
              lossy ? " (the stage may lose buffers: every delivered one must be exact)" : "");
  std::printf("  frames      sent %lu, restored %lu\n", frames_sent, sum(got, &Line::frames));
  std::printf("  objects     sent %lu, restored %lu\n", sum(sent, &Line::objects),
              sum(got, &Line::objects));
  std::printf("  payload     %zu of %zu delivered buffers byte-identical (SHA-1)%s\n",
              hop.payload_same, got.lines.size(),
              payload_path.empty() ? "" : " to the sender's stream through the same stage");
  if (!relay_path.empty())
    std::printf("  metadata    %zu mismatches at the relay, %zu at the receiver\n",
                first_hop.mismatches, hop.mismatches);
  else
    std::printf("  metadata    %zu mismatches\n", hop.mismatches);
  std::printf("  pipeline_time, sender documents    %s\n", median_max(sender_times).c_str());
  if (count > 3)
    std::printf("  pipeline_time, receiver documents  %s (end to end)\n",
                median_max(receiver_times).c_str());
  std::printf("  received -> restored at receiver   %s\n", median_max(latencies).c_str());
  std::printf("  document logs: sender %s (%lu documents)", paths[2], sender_docs);
  if (count > 3)
    std::printf(", receiver %s (%lu documents)", paths[3], receiver_docs);
  std::printf("\n");
  bool plotted = true;
  if (!plot_path.empty()) {
    std::string error;
    plotted = write_latency_plot(
        plot_path, "pipeline_time per frame",
        {{"at the sender's mux", sender_times, 0.1, 0.4, 0.8},
         {"at the receiver's mux (end to end)", receiver_times, 0.85, 0.3, 0.1}},
        &error);
    if (plotted)
      std::printf("  latency plot %s\n", plot_path.c_str());
    else
      std::printf("  latency plot %s not written: %s\n", plot_path.c_str(), error.c_str());
  }
  if (frames_sent == 0)
    std::printf("  the sender attached no metadata: nothing to compare\n");
  if (!first_hop.first_mismatch.empty())
    std::printf("  first mismatch at the relay: %s\n", first_hop.first_mismatch.c_str());
  if (!hop.first_mismatch.empty())
    std::printf("  first mismatch: %s\n", hop.first_mismatch.c_str());
  return ok && plotted ? 0 : 1;
}
