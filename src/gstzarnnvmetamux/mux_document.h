// The builders of the metadata document.
#ifndef ZARN_MUX_DOCUMENT_H
#define ZARN_MUX_DOCUMENT_H

#include <cstdint>
#include <string>

#include <gst/gst.h>

#include "mux_writer.h"

typedef struct _GstzarnNvMetaMux GstzarnNvMetaMux;

GST_DEBUG_CATEGORY_EXTERN(gst_zarn_nv_meta_mux_debug);

namespace zarn {
namespace mux {

// Creates the debug category when the writers run before the plug-in was
// initialised (a caller of the exported functions).
void ensure_debug_category();

// The buffer's metadata document, written into `text`; false, with `text`
// empty, when the buffer carries no DeepStream meta (or a document too long
// for the trailer). `element`, when there is one, names the log lines, and
// when it holds a save path the document is also appended to its log file.
bool write_document(GstBuffer *buffer, GstzarnNvMetaMux *element, Text &text);

// The whole batch document of a buffer whose first DeepStream meta is a
// batch: one frame entry per frame. "pipeline_time" is taken against `now`.
void write_batch_document(GstBuffer *buffer, std::int64_t now, Text &out);

// The whole buffer-level document: {"frames":[entry]}, the entry built from
// the newest identity and dimensions records anywhere on the buffer.
void write_buffer_document(GstBuffer *buffer, std::int64_t now, Text &out);

} // namespace mux
} // namespace zarn

#endif
