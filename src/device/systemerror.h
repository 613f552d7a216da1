// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstring>
#include <string>

// The C library's text for an errno value. Inline, so that code linking nothing of the device
// code (the pty of the emulator and bridge) says it the same way.
inline std::string systemErrorText(int error)
{
    return std::strerror(error);
}
