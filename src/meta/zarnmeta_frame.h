// Attaching the records to a frame of a batch, for code that rebuilds a
// batch (the demux). Not exported.
#ifndef ZARNMETA_FRAME_H
#define ZARNMETA_FRAME_H

#include "zarnmeta.h"

namespace zarn {

// Hands the record to the frame as a frame user meta of its type, with the
// callbacks the stream muxer gives such records, so that batch copies and
// releases copy and free it. False, with the record still the caller's,
// when the batch's pool has no user meta to give. Call with the batch lock
// held.
bool add_frame_id_meta(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDsMetaId *record);
bool add_frame_dims_meta(NvDsBatchMeta *batch, NvDsFrameMeta *frame, NvDims *record);

} // namespace zarn

#endif
