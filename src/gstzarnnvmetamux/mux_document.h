// Pieces of the metadata document shared by the buffer-level and the batch
// builders.
#ifndef ZARN_MUX_DOCUMENT_H
#define ZARN_MUX_DOCUMENT_H

#include <cstdint>

#include <gst/gst.h>
#include <nlohmann/json.hpp>

#include "zarnmeta.h"

namespace zarn {
namespace mux {

// "ts" of an identity record: only the timestamps that are set, and
// "pipeline_time" (now - received) with "received". Empty when none is set.
nlohmann::json timestamps_object(const NvDsMetaId &id, std::int64_t now);

// "resolution" of a dimensions record: "src" and "mux" for complete pairs.
// Empty when neither pair is complete.
nlohmann::json resolution_object(const NvDims &dims);

// "frames" of a batch document: one entry per frame of the buffer's batch.
nlohmann::json batch_frames(GstBuffer *buffer, std::int64_t now);

} // namespace mux
} // namespace zarn

#endif
