// Numeric conversions of document values for the restorers.

#include <cmath>
#include <limits>

#include "demux_restore.h"

using simdjson::dom::element_type;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace zarn {
namespace demux {

bool to_int64(GstObject *log, const element &value, std::int64_t *out) {
  switch (value.type()) {
  case element_type::INT64:
    *out = value.get_int64().value_unsafe();
    return true;
  case element_type::UINT64:
    // Above 2^63 - 1: the low 64 bits, read as signed.
    *out = static_cast<std::int64_t>(value.get_uint64().value_unsafe());
    return true;
  case element_type::DOUBLE: {
    // Fractions are cut toward zero; values outside the field's range
    // saturate rather than invoke an undefined conversion.
    const double d = std::trunc(value.get_double().value_unsafe());
    if (std::isnan(d))
      return false;
    if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
      *out = d > 0 ? std::numeric_limits<std::int64_t>::max()
                   : std::numeric_limits<std::int64_t>::min();
      GST_WARNING_OBJECT(log, "number %g does not fit 64 bits: saturated", d);
    } else {
      *out = static_cast<std::int64_t>(d);
    }
    return true;
  }
  default:
    return false;
  }
}

bool to_int32(GstObject *log, const element &value, std::int32_t *out) {
  std::int64_t wide;
  if (!to_int64(log, value, &wide))
    return false;
  *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
  if (*out != wide)
    GST_WARNING_OBJECT(
        log, "number %" G_GINT64_FORMAT " does not fit 32 bits: low 32 bits kept (%d)", wide, *out);
  return true;
}

bool to_float(GstObject *log, const element &value, float *out) {
  double d;
  switch (value.type()) {
  case element_type::INT64:
    d = static_cast<double>(value.get_int64().value_unsafe());
    break;
  case element_type::UINT64:
    d = static_cast<double>(value.get_uint64().value_unsafe());
    break;
  case element_type::DOUBLE:
    d = value.get_double().value_unsafe();
    break;
  default:
    return false;
  }
  // Beyond float's range the value saturates, as integers do: an infinity
  // would be written back as null and lost on the next trip.
  if (d > std::numeric_limits<float>::max() || d < std::numeric_limits<float>::lowest()) {
    *out = d > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
    GST_WARNING_OBJECT(log, "number %g does not fit a float: saturated", d);
  } else {
    *out = static_cast<float>(d);
  }
  return true;
}

} // namespace demux
} // namespace zarn
