// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "exitcodes.h"

#include "device/remoteaddress.h"

#include <string>

class Output;

// bridge: a board on another machine as a serial device here, for programs that only open
// devices. Not on Windows, which has no pseudo-terminals to serve.
struct BridgePlan
{
    RemoteAddress address;
    std::string link; // a symbolic link to make to the device; empty for none
};

ExitCode runBridge(const BridgePlan &plan, Output &out);
