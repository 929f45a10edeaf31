// Rebuilding the DeepStream batch from a batch document.

#include "demux_restore.h"

namespace zarn {
namespace demux {

void restore_batch(const nlohmann::json & /*frames*/, GstBuffer * /*buffer*/) {}

} // namespace demux
} // namespace zarn
