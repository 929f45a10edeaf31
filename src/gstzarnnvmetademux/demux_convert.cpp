// Numeric conversions of document values for the restorers.

#include <cmath>
#include <limits>

#include "demux_restore.h"

using nlohmann::json;

#define GST_CAT_DEFAULT gst_zarnnvmetademux_debug

namespace zarn {
namespace demux {

const json *member(const json &object, const char *name) {
  if (!object.is_object())
    return NULL;
  auto found = object.find(name);
  return found == object.end() ? NULL : &*found;
}

bool to_int64(const json &value, std::int64_t *out) {
  switch (value.type()) {
  case json::value_t::number_integer:
    *out = value.get<std::int64_t>();
    return true;
  case json::value_t::number_unsigned:
    // Above 2^63 - 1: the low 64 bits, read as signed.
    *out = static_cast<std::int64_t>(value.get<std::uint64_t>());
    return true;
  case json::value_t::number_float: {
    // Fractions are cut toward zero; values outside the field's range
    // saturate rather than invoke an undefined conversion.
    const double d = std::trunc(value.get<double>());
    if (std::isnan(d))
      return false;
    if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) {
      *out = d > 0 ? std::numeric_limits<std::int64_t>::max()
                   : std::numeric_limits<std::int64_t>::min();
      GST_WARNING("number %g does not fit 64 bits: saturated", d);
    } else {
      *out = static_cast<std::int64_t>(d);
    }
    return true;
  }
  default:
    return false;
  }
}

bool to_int32(const json &value, std::int32_t *out) {
  std::int64_t wide;
  if (!to_int64(value, &wide))
    return false;
  *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(wide)));
  if (*out != wide)
    GST_WARNING("number %" G_GINT64_FORMAT " does not fit 32 bits: low 32 bits kept (%d)", wide,
                *out);
  return true;
}

bool to_float(const json &value, float *out) {
  if (!value.is_number())
    return false;
  const double d = value.get<double>();
  // Beyond float's range the value saturates, as integers do: an infinity
  // would be written back as null and lost on the next trip.
  if (d > std::numeric_limits<float>::max() || d < std::numeric_limits<float>::lowest()) {
    *out = d > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
    GST_WARNING("number %g does not fit a float: saturated", d);
  } else {
    *out = static_cast<float>(d);
  }
  return true;
}

} // namespace demux
} // namespace zarn
