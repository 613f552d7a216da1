// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "exitcodes.h"
#include "grammar.h"
#include "output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class BoardClient;
struct BoardFile;

// One command of the command line or of a batch line, parsed and checked before anything is
// opened or sent.
struct Command
{
    enum class Kind { Read, Dir, Write, Reset, Expect, Wait, Sleep, Pulse, State, Quit, Setup };

    Kind kind = Kind::Read;
    std::string name;
    std::vector<Selector> selectors;     // read
    std::vector<Assignment> assignments; // dir, write; pulse: its one line
    ConditionSet conditions;             // expect, wait
    std::int64_t ms = 0;                 // sleep, pulse
    const BoardFile *board = nullptr;    // in force: setup, and the names of a reading
    bool reconnect = false;              // wait: the board is waited for when its port is lost

    Register reg() const { return kind == Kind::Dir ? Register::Direction : Register::Write; }
    bool sends() const;
};

// Whether the command can run after those before it: a one-line write needs its whole register
// known. Updates known as the command would.
bool checkAgainst(const Command &command, KnownRegisters &known, std::string *error);

// What became of a command: the data for people and for JSON, or why it failed.
struct Reply
{
    std::string type;
    ExitCode code = ExitCode::Success;
    std::string text;             // data, "A=0x5A B=0x00 C=0x1F"; may be empty
    Json fields = Json::object(); // the same for JSON
    std::string problem;          // why it failed
    std::int64_t readAtMs = 0;    // when the values were read, in ms since the epoch
    int signal = 0;               // the signal that cut the command short
    // A reading: what was read, and the ports and lines it shows; made into JSON only when
    // JSON is asked for.
    std::vector<Selector> selectors{};
    Inputs inputs{};
    const LineNames *names = nullptr; // a board file's, shown with a reading

    bool ok() const { return code == ExitCode::Success; }
    // A reading came, whether or not its condition held.
    bool answered() const { return readAtMs > 0; }
    Json json() const;
};

struct Failure;
// The reply of a command that ended in failure.
Reply failed(const std::string &type, const Failure &failure);

struct Failure;
// The board file's setup: the three write-port commands, then the three set-direction commands,
// and the registers are known.
std::optional<Failure> runSetup(BoardClient &board, const BoardFile &file);

// Runs a command on the open board. checkAfter: a command that sends ends with one exchange
// showing that the board answers.
Reply runCommand(BoardClient &board, const Command &command, bool checkAfter);

// watch: polls on a fixed schedule and prints the state, then every change, until --count
// changes, --duration or a signal. With edges: each line's level, then each of its edges.
struct WatchPlan
{
    std::vector<Selector> selectors{};
    std::int64_t intervalMs = 100;
    std::optional<std::int64_t> count;
    std::optional<std::int64_t> durationMs;
    bool edges = false;
    int stable = 1; // edges: readings in a row that make a new level
    bool reconnect = false;
};
ExitCode runWatch(BoardClient &board, Output &out, const WatchPlan &plan);

// ports: what each port number names, and with probe what answers there.
ExitCode runPorts(Output &out, bool probe);
