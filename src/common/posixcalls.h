// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/systemerror.h"

#include <cerrno>
#include <string>

#include <unistd.h>

// What the pty code (the endpoint and the emulator's board behind it) says of a system call
// that just failed: "what: the system's text".
inline std::string systemError(const char *what)
{
    return std::string(what) + ": " + systemErrorText(errno);
}

// close() for a descriptor that may be -1; leaves it at -1.
inline void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
