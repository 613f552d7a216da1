// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

// SIGINT, SIGTERM and SIGHUP, caught the one way that is safe anywhere: the handler notes the
// first signal and writes a byte into a pipe, which an event loop (QSocketNotifier) or poll()
// watches. Every program of the project ends through this: the window, zarvex, the emulator.
// On Windows the console's events stand for them: Ctrl-C for SIGINT, Ctrl-Break, logoff and
// shutdown for SIGTERM, a closed console window for SIGHUP.
namespace EndingSignals {

// Installs the handlers, but for a signal that was ignored when the program started (nohup
// ignores SIGHUP; a shell, SIGINT in its background jobs): that one stays ignored. A second
// call does nothing. False, with errno set, when the pipe or a handler could not be made.
bool install();
// The pipe's read end, readable once a signal has come; -1 before install(), and always on
// Windows.
int fd();
#ifdef _WIN32
// Windows: an event (a HANDLE) signalled once one has come, to wait on beside others; nullptr
// before install().
void *waitHandle();
#endif
// The first signal that came, or 0.
int received();
// Empties the pipe, so a notifier on fd() stops firing; received() keeps its value.
void drain();
// Puts back what the signals did before install(); with ignoreLater, later signals are
// ignored instead (the first one is ending the process already).
void restore(bool ignoreLater = false);
// Ends the process by `signal` with its default action, the way a shell or a service manager
// expects a signalled program to end, so they can tell it from an error exit.
[[noreturn]] void endBy(int signal);

} // namespace EndingSignals
