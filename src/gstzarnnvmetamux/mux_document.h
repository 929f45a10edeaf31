// The builders of the metadata document.
#ifndef ZARN_MUX_DOCUMENT_H
#define ZARN_MUX_DOCUMENT_H

#include <cstdint>
#include <string>

#include <gst/gst.h>

namespace zarn {
namespace mux {

// The whole batch document of a buffer whose first DeepStream meta is a
// batch: one frame entry per frame. "pipeline_time" is taken against `now`.
void write_batch_document(GstBuffer *buffer, std::int64_t now, std::string &out);

// The whole buffer-level document: {"frames":[entry]}, the entry built from
// the newest identity and dimensions records anywhere on the buffer.
void write_buffer_document(GstBuffer *buffer, std::int64_t now, std::string &out);

} // namespace mux
} // namespace zarn

#endif
