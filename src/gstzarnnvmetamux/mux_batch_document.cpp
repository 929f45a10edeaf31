// The batch document: one frame entry per frame of the buffer's batch.

#include "mux_document.h"

#include "zarntrailer.h"

using nlohmann::json;

namespace zarn {
namespace mux {

json batch_frames(GstBuffer * /*buffer*/, std::int64_t /*now*/) {
  return json::array();
}

} // namespace mux
} // namespace zarn
