// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

// How zarvex ends, for scripts.
enum class ExitCode : int {
    Success = 0,
    ConditionFalse = 1, // wait timed out, expect mismatched, a probe found no board
    Usage = 2,          // bad command line; nothing was opened
    CannotOpen = 3,
    NoAnswer = 4, // the board did not answer within the reply deadline
    PortLost = 5,
    WriteFailed = 6, // the results could not be written (a full disk, not a closed pipe)
};
