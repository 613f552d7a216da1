// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "batch.h"
#include "bridge.h"
#include "commands.h"
#include "helptexts.h"

#include "options.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

// ports: list the port numbers, and with probe try each.
struct PortsPlan
{
    bool probe = false;
};

// help: the usage of topic, or with none the list of commands.
struct HelpPlan
{
    std::string topic;
};

// A command parsed and checked before anything is opened. Its type is how it runs: a Command on
// the board (or as a batch line), a watch, the list of ports, a batch, a bridge, or help.
using Plan = std::variant<Command, WatchPlan, PortsPlan, BatchPlan, BridgePlan, HelpPlan>;

// One command of zarvex. Dispatch, batch lines, help and the messages about commands all read
// the one table of them.
struct CommandRow
{
    enum Scope { CommandLine = 1, BatchLine = 2, Both = CommandLine | BatchLine };

    std::string name;
    Scope scope;
    std::vector<Option> options; // its own; a command line adds globalOptions()
    // Its positional arguments and options as a plan; a batch line's is a Command.
    std::optional<Plan> (*parse)(const CommandRow &row, const ParsedOptions &args,
                                 std::string *error);
    const HelpText &help;

    bool onCommandLine() const { return scope & CommandLine; }
    bool inBatch() const { return scope & BatchLine; }
};

const std::vector<CommandRow> &commandTable();
const CommandRow *findCommand(const std::string &name);

// -p, -d, --board, --json, --no-check, -h and --version: anywhere on a command line, not on batch
// lines.
const std::vector<Option> &globalOptions();
// The global options and those of every command: enough to find the command on a command line.
const std::vector<Option> &everyOption();

// The row's own parse; a Command gets the row's name.
std::optional<Plan> parsePlan(const CommandRow &row, const ParsedOptions &args, std::string *error);
// One batch line, split into words, without its comment; board: the board file in force.
std::optional<Command> parseBatchLine(const std::vector<std::string> &words, std::string *error,
                                      const BoardFile *board = nullptr);
// Why this build has no such command where other systems' builds have it; empty otherwise.
std::string leftOutHere(const std::string &name);
// Why name does not run on a command line.
std::string commandLineRefusal(const std::string &name);

std::string generalHelp();
std::string commandHelp(const CommandRow &row);
