// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/port.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The words of the board's commands: values, ports, lines, durations, conditions and
// assignments. Each parser returns nothing and sets *error to a message that names the
// offending text and what is allowed.

using Inputs = std::array<std::uint8_t, 3>;

// 90, 0x5A, 0b01011010: 0 to 255.
std::optional<std::uint8_t> parseValue(std::string_view text, std::string *error);
// A, B or C, either case.
std::optional<Port> parsePort(std::string_view text, std::string *error);
// 250ms, 2s, 1m, or a bare number of milliseconds.
std::optional<std::int64_t> parseDuration(std::string_view text, std::string *error);
// A port number the way the window names ports: 1 to 32767, digits only.
std::optional<int> parsePortNumber(std::string_view text, std::string *error);
// A whole number of decimal digits only, at most limit; nothing otherwise.
std::optional<std::int64_t> parseCount(std::string_view text, std::int64_t limit);

// A line the board file names. Through its name a line reads and is written as asserted (1)
// or not (0): on an active-low line 1 is the low level.
struct NamedLine
{
    std::string name;
    Port port = Port::A;
    int line = 0;
    bool activeLow = false;
    bool output = false;
    bool initial = false; // asserted after setup; outputs only
};
using LineNames = std::vector<NamedLine>;
const NamedLine *findName(const LineNames &names, std::string_view name);

// A whole port ("A") or one of its lines ("A.3", or a name the board file gives one).
struct Selector
{
    Port port = Port::A;
    int line = -1;          // -1: the whole port
    std::string alias{};    // the board file's name of the line, empty when none
    bool activeLow = false; // through the name, 1 means the line is low

    bool isLine() const { return line >= 0; }
    std::string name() const;
    // A line through its name: the asserted level.
    int valueIn(const Inputs &inputs) const;
    // "A=0x5A", "A.3=1" or "DONE=1"
    std::string show(const Inputs &inputs) const;
    bool operator==(const Selector &) const = default;
};
std::optional<Selector> parseSelector(std::string_view text, std::string *error,
                                      const LineNames &names = {});
// No selector means A, B and C.
std::optional<std::vector<Selector>> parseSelectors(const std::vector<std::string> &texts,
                                                    std::string *error,
                                                    const LineNames &names = {});

// A=0x5A, A.3=1 or A&0x0F=0x05.
struct Condition
{
    Selector target;
    std::uint8_t mask = 0xFF; // the bits of target.port that are compared
    std::uint8_t value = 0;   // what they must read, within mask
    std::string text;         // as given

    bool holds(const Inputs &inputs) const;
};
std::optional<Condition> parseCondition(std::string_view text, std::string *error,
                                        const LineNames &names = {});

// The conditions of wait and expect, and how they are sampled.
struct ConditionSet
{
    std::vector<Condition> conditions;
    bool any = false;
    int stable = 1;
    std::optional<std::int64_t> timeoutMs; // nothing: forever
    std::int64_t intervalMs = 100;

    bool holds(const Inputs &inputs) const;
    std::vector<Selector> operands() const;
};

// Which register an assignment loads.
enum class Register { Direction, Write };

// PORT=VALUE, or LINE=BIT. Directions also take "in" (0xFF, a line 1) and "out" (0x00, 0).
// A named active-low line is written at the other level; its direction is as given.
struct Assignment
{
    Selector target;
    std::uint8_t value = 0; // the port's value, or the line's bit as loaded
    std::string text;       // as given
};
std::optional<Assignment> parseAssignment(Register reg, std::string_view text, std::string *error,
                                          const LineNames &names = {});

// What a run of commands knows of the board's registers: only what it loaded itself, since
// the board cannot report them.
class KnownRegisters
{
public:
    std::optional<std::uint8_t> value(Register reg, Port port) const;
    void set(Register reg, Port port, std::uint8_t value);
    void reset();
    // The whole-port value an assignment loads, or nothing (and *error) when it sets one line of
    // a register not known.
    std::optional<std::uint8_t> resolve(Register reg, const Assignment &assignment,
                                        std::string *error) const;

private:
    std::array<std::optional<std::uint8_t>, 3> m_direction;
    std::array<std::optional<std::uint8_t>, 3> m_write;
};

// "0x5A"
std::string hexByte(int value);
// "250ms", "2s"
std::string durationText(std::int64_t ms);
// "\"text\""
std::string quoted(std::string_view text);

// The text as UTF-8, every byte that begins no well-formed sequence replaced by U+FFFD: how
// words from the command line and batch lines have always been read.
std::string validUtf8(std::string_view text);
