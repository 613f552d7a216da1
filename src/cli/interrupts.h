// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <csignal>

// SIGINT, SIGTERM and SIGHUP (through EndingSignals) never cut an exchange or a command in half:
// they are noted, and every wait zarvex does (a sleep, a poll interval, the next batch line,
// room on a full standard output) ends at once, so that it closes the port before it ends.
// SIGPIPE is ignored; a reader of standard output that went away shows as a hangup of standard
// output, noticed in sleeps and in waits for input that will be answered there, or as a failed
// write. On Windows the waits only watch for the signals; a read or a write blocks.
class Interrupts
{
public:
    using Clock = std::chrono::steady_clock;

#ifdef SIGPIPE
    static constexpr int ReaderGoneSignal = SIGPIPE;
#else
    // Windows has no SIGPIPE, and no reader that goes away shows here; its number elsewhere.
    static constexpr int ReaderGoneSignal = 13;
#endif

    // Opens descriptors 0 to 2 on /dev/null where they are closed, so that no port or file ever
    // becomes one of them, then installs the handlers.
    static bool install();
    // The first signal that came, or 0.
    static int received();
    // Whether the reader of standard output went away (a pipe's far end closed).
    static bool readerGone();
    // False when a signal came, or the reader of standard output went away, first.
    static bool sleepUntil(Clock::time_point deadline);
    // Waits until fd can be read (or is at its end); false when a signal came first, or, with
    // whileOutputLasts, the reader of standard output went away.
    static bool waitReadable(int fd, bool whileOutputLasts);
    // Waits until fd takes bytes, or fails; false when a signal came first.
    static bool waitWritable(int fd);
    // Ends the process the way the signal would have, now that everything is closed.
    [[noreturn]] static void endBy(int signal);
};
