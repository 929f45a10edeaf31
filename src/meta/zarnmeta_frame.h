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

// Calls visit(type, record) for each identity and dimensions record of the
// frame, in the order of its user meta list, until it returns false.
template <typename Visit> void for_each_frame_record(const NvDsFrameMeta &frame, Visit visit) {
  for (GList *u = frame.frame_user_meta_list; u; u = u->next) {
    const auto *user = static_cast<const NvDsUserMeta *>(u->data);
    const NvDsMetaType type = user->base_meta.meta_type;
    if (user->user_meta_data && (type == NVDS_META_ID_TYPE || type == NV_DIMS_TYPE) &&
        !visit(type, user->user_meta_data))
      return;
  }
}

} // namespace zarn

#endif
