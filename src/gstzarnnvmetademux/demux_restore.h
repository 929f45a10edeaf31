// Shared by the demux's restorers: the debug category, numeric conversions
// of document values and the batch rebuild.
#ifndef ZARN_DEMUX_RESTORE_H
#define ZARN_DEMUX_RESTORE_H

#include <cstdint>

#include <gst/gst.h>
#include <nlohmann/json.hpp>

GST_DEBUG_CATEGORY_EXTERN(gst_zarnnvmetademux_debug);

namespace zarn {
namespace demux {

// Creates the debug category when the restorers run before the plug-in was
// initialised (a caller of the exported functions).
void ensure_debug_category();

// Document numbers of any kind (signed, unsigned, float) as the record
// fields hold them. False, leaving *out as it is, for anything that is not a
// number (null included).
bool to_int64(const nlohmann::json &value, std::int64_t *out);
// The low 32 bits, read as signed.
bool to_int32(const nlohmann::json &value, std::int32_t *out);
bool to_float(const nlohmann::json &value, float *out);

// The member `name` of an object, or NULL when `object` is not an object or
// has no such member.
const nlohmann::json *member(const nlohmann::json &object, const char *name);

// Rebuilds the DeepStream batch from the frame entries of a batch document.
void restore_batch(const nlohmann::json &frames, GstBuffer *buffer);

} // namespace demux
} // namespace zarn

#endif
