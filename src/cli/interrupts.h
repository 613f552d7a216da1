// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>

// SIGINT, SIGTERM and SIGHUP never cut an exchange or a command in half: they are noted, every
// wait (a sleep, a poll interval, a batch waiting for its next line) ends at once, and zarvex
// closes the port before it ends. SIGPIPE is ignored; a closed standard output shows as a
// failed write instead.
class Interrupts
{
public:
    using Clock = std::chrono::steady_clock;

    static bool install();
    // The first signal that came, or 0.
    static int received();
    // False when a signal came first.
    static bool sleepUntil(Clock::time_point deadline);
    // Waits until fd can be read; false when a signal came first.
    static bool waitReadable(int fd);
    // Ends the process the way the signal would have, now that everything is closed.
    [[noreturn]] static void endBy(int signal);
};
