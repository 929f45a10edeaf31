// deserialize_json_to_meta on valid JSON documents of arbitrary shape.

#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zarn_fuzz::init_gstreamer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text = zarn_fuzz::dump(zarn_fuzz::DocumentGenerator(data, size).document());
  GstBuffer *buffer = gst_buffer_new_allocate(NULL, 16, NULL);
  deserialize_json_to_meta(reinterpret_cast<const unsigned char *>(text.data()),
                           static_cast<unsigned int>(text.size()), buffer);
  // What was restored can be serialized again.
  unsigned int length = 0;
  delete[] get_json_from_meta(buffer, &length, NULL);
  gst_buffer_unref(buffer);
  return 0;
}
