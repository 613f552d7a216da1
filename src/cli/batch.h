// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "boardclient.h"
#include "exitcodes.h"

#include "device/porttarget.h"

#include <optional>
#include <string>

class Output;
struct BoardFile;

struct BatchPlan
{
    std::string file; // empty or "-": standard input
    bool keepGoing = false;
    bool checkOnly = false;
    bool checkAtEnd = true;
    const BoardFile *board = nullptr;   // its names on every line, and setup
    bool reconnect = false;             // a lost port is waited for, and the batch goes on
    BoardClient::AfterBack afterBack{}; // with reconnect: runs after "back" once setup ran
};

// One open port, one command a line, exactly one reply line for each command. Lines from a
// file are all checked before the port is opened; lines from a pipe as they come.
ExitCode runBatch(const std::optional<PortTarget> &port, Output &out, const BatchPlan &plan);
