// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "arguments.h"
#include "boardclient.h"

class Output;

struct BatchPlan
{
    QString file; // empty or "-": standard input
    bool keepGoing = false;
    bool checkOnly = false;
    bool checkAtEnd = true;
};

// One open port, one command a line, exactly one reply line for each command. Lines from a
// file are all checked before the port is opened; lines from a pipe as they come.
ExitCode runBatch(const std::optional<PortChoice> &port, Output &out, const BatchPlan &plan);
