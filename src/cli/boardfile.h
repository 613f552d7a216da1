// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "grammar.h"

#include "device/porttarget.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// A rig's board file (TOML): the port its board is on, and the names of its lines.
//   device = "rfc2217://rack3:4003"
//   [lines]
//   RESET_N = { line = "A.3", active_low = true, direction = "out", initial = false }
//   DONE    = "B.0"
struct BoardFile
{
    std::string path;                  // as given
    std::optional<std::string> device; // a port number, path, COMn or URL
    int deviceLine = 0;
    LineNames lines; // in the order of the file

    // Where setup leaves the board: every named output at its initial level and every other
    // line an input, with 0 in its write register.
    struct Registers
    {
        std::array<std::uint8_t, 3> direction{};
        std::array<std::uint8_t, 3> write{};
    };
    Registers setupRegisters() const;
};

// The file read and checked whole. Nothing when it cannot be read or breaks a rule, with
// *error "FILE:LINE: problem" (or "FILE: cannot read (...)").
std::optional<BoardFile> loadBoardFile(const std::string &path, std::string *error);

// A port named outside the command line (ZARVEX_PORT, a board file's device): a bare number is
// a port number, a path has a '/', and otherwise it is COMn or a URL. label begins an error.
std::optional<PortTarget> namedPort(const std::string &text, const std::string &label,
                                    std::string *error);
