// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "arguments.h"
#include "device/remoteaddress.h"

class Output;

// bridge: a board on another machine as a serial device here, for programs that only open
// devices.
struct BridgePlan
{
    RemoteAddress address;
    QString link; // a symbolic link to make to the device; empty for none
};

ExitCode runBridge(const BridgePlan &plan, Output &out);
