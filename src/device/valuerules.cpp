// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "valuerules.h"

#include <cmath>
#include <limits>

std::int32_t RoundHalfEven(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= double(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (x <= double(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    // floor() and the subtraction are exact here, so no rounding mode can interfere.
    const double below = std::floor(x);
    const double fraction = x - below;
    std::int64_t result = std::int64_t(below);
    if (fraction > 0.5 || (fraction == 0.5 && result % 2 != 0))
        ++result;
    return std::int32_t(result);
}

std::optional<std::uint8_t> valueByte(double value)
{
    // Checked before rounding: RoundHalfEven saturates far outside the byte range.
    if (!(value >= -0.5 && value <= 255.5))
        return std::nullopt;
    const std::int32_t rounded = RoundHalfEven(value);
    if (rounded < 0 || rounded > 255)
        return std::nullopt;
    return std::uint8_t(rounded);
}
