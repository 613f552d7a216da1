// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

// What became of bytes written to standard output or standard error.
enum class Written { All, ReaderGone, Failed, Interrupted };

// Every byte, in pieces a pipe takes without blocking once it has room, so that a signal is
// never stuck behind a reader that stopped reading.
Written writeAll(int fd, std::string_view bytes);

// The text with every control character (but a tab) written as \xNN: what came from a file, a
// command line or the system cannot move a terminal's cursor or split a line in two.
std::string printable(std::string_view text);

// One line "zarvex: message" on standard error.
void diagnostic(std::string_view message);
