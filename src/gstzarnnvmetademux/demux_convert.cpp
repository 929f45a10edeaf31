// Numeric conversions of document values for the restorers.

#include <cmath>
#include <limits>

#include "demux_restore.h"

using nlohmann::json;

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
    if (d >= 9223372036854775808.0)
      *out = std::numeric_limits<std::int64_t>::max();
    else if (d < -9223372036854775808.0)
      *out = std::numeric_limits<std::int64_t>::min();
    else
      *out = static_cast<std::int64_t>(d);
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
  return true;
}

bool to_float(const json &value, float *out) {
  if (!value.is_number())
    return false;
  const double d = value.get<double>();
  // Beyond float's range the value becomes an infinity of the same sign,
  // which is what the double held in magnitude.
  if (d > std::numeric_limits<float>::max())
    *out = std::numeric_limits<float>::infinity();
  else if (d < std::numeric_limits<float>::lowest())
    *out = -std::numeric_limits<float>::infinity();
  else
    *out = static_cast<float>(d);
  return true;
}

} // namespace demux
} // namespace zarn
