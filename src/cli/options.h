// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "grammar.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct BoardFile;

// An option: its names ("p", "port"; one letter has one dash) and, when it takes a value, the
// value's name in the help ("N"); a flag has none.
struct Option
{
    std::vector<std::string> names;
    std::string valueName;

    bool takesValue() const { return !valueName.empty(); }
};

// The options and positional arguments of a command line or a batch line. Strict: an unknown
// option, an option given twice or a value missing is an error. Options may come anywhere;
// "--" ends them. A value follows its option as the next argument, after '=', or, for one
// letter, right after it (-p3); one-letter flags may be run together (-hx).
struct ParsedOptions
{
    std::vector<std::string> positional;
    std::map<std::string, std::string> values; // by the option's first name, flags empty
    const BoardFile *board = nullptr;          // in force for the command: its names, setup

    bool has(const std::string &name) const { return values.count(name) != 0; }
    std::string value(const std::string &name) const;
    // The names of the board file's lines; none without one.
    const LineNames &names() const;
};
std::optional<ParsedOptions> parseOptions(const std::vector<std::string> &args,
                                          const std::vector<Option> &options, std::string *error);

// --interval D of wait and watch, at least 1ms; fallbackMs when it is not given.
std::optional<std::int64_t> parseInterval(const ParsedOptions &options, std::int64_t fallbackMs,
                                          std::string *error);
// The condition options shared by wait and expect. wait: --timeout is required; expect: no
// --timeout, --stable or --interval.
std::optional<ConditionSet> parseConditionSet(const ParsedOptions &options, bool isWait,
                                              std::string *error);
