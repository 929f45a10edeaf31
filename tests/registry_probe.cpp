// A library that links the records library, as each plug-in does; tests load
// two copies of it to see that both get the same type values.

#include "zarnmeta.h"

extern "C" __attribute__((visibility("default"))) int registry_probe_id_type(void) {
  return NVDS_META_ID_TYPE;
}

extern "C" __attribute__((visibility("default"))) int registry_probe_dims_type(void) {
  return NV_DIMS_TYPE;
}
