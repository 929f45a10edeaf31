// The demux's one-pass reader against the reference reader on any bytes:
// the same verdict and the same restored records and batch, field by field,
// floats bit for bit. The first byte chooses between the input as the
// document itself and a generated document of any shape.

#include <cstdio>
#include <cstdlib>

#include "differential.h"
#include "fuzz_common.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zarn_fuzz::init_gstreamer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string text =
      data[0] & 1 ? std::string(reinterpret_cast<const char *>(data) + 1, size - 1)
                  : zarn_fuzz::dump(zarn_fuzz::DocumentGenerator(data + 1, size - 1).document());
  const zarn_test::Outcome outcome = zarn_test::compare_readers(text);
  if (!outcome.same) {
    std::fprintf(stderr, "the readers differ\ninput: %s\n%s\n", text.c_str(),
                 outcome.report.c_str());
    std::abort();
  }
  return 0;
}
