// A differential check: any batch the demux rebuilds, serialized by the mux
// and restored again, serializes to the same document ("pipeline_time"
// aside); and every document the mux writes is exactly the JSON library's
// text for its value.

#include <cstdio>
#include <cstdlib>

#include "fixtures.h"
#include "fuzz_common.h"

static std::string restore_and_serialize(const std::string &text, bool *has_batch) {
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  deserialize_json_to_meta(reinterpret_cast<const unsigned char *>(text.data()),
                           static_cast<unsigned int>(text.size()), buffer);
  *has_batch = gst_buffer_get_nvds_batch_meta(buffer) != NULL;
  unsigned int length = 0;
  unsigned char *doc = get_json_from_meta(buffer, &length, NULL);
  std::string out = doc ? std::string(reinterpret_cast<char *>(doc), length) : "";
  delete[] doc;
  gst_buffer_unref(buffer);
  // The mux writes its text directly; it must be what the JSON library
  // would write for the same value.
  if (!out.empty() && zarn_fuzz::dump(nlohmann::json::parse(out)) != out) {
    std::fprintf(stderr, "document is not the library's text: %s\n", out.c_str());
    std::abort();
  }
  return out;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zarn_fuzz::init_gstreamer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text = zarn_fuzz::dump(zarn_fuzz::DocumentGenerator(data, size).document());
  bool batch = false;
  const std::string first = restore_and_serialize(text, &batch);
  if (!batch)
    return 0;
  bool again = false;
  const std::string second = restore_and_serialize(first, &again);
  // Rebuilt frames carry their records, so "ts" comes back with a
  // "pipeline_time" of the moment it is written.
  std::vector<int64_t> times;
  if (!again || zarn_test::without_pipeline_time(second, &times) !=
                    zarn_test::without_pipeline_time(first, &times)) {
    std::fprintf(stderr, "round trip differs\ninput:  %s\nfirst:  %s\nsecond: %s\n",
                 text.c_str(), first.c_str(), second.c_str());
    std::abort();
  }
  return 0;
}
