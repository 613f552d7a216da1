// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <optional>

// The board's value rule: a value sent is a number rounded to the nearest integer, halves
// to the even neighbour, which must lie in 0..255.

// Nearest integer, ties to even; saturates at the 32-bit bounds, NaN gives 0.
std::int32_t RoundHalfEven(double x);

// The value byte a number stands for, or nothing when it does not round into 0..255.
std::optional<std::uint8_t> valueByte(double value);
