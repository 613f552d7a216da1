// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "endingsignals.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <windows.h>

namespace {

// Windows has no SIGHUP; the number is the one the exit status reports elsewhere.
constexpr int HangUp = 1;

std::atomic<int> firstSignal{0};
std::atomic<bool> ignoring{false};
HANDLE wakeEvent = nullptr;
bool installed = false;

int signalFor(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
        return SIGINT;
    case CTRL_CLOSE_EVENT:
        return HangUp;
    case CTRL_BREAK_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
    default:
        return SIGTERM;
    }
}

// Runs on a thread of its own, which the system starts for each event.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (!ignoring) {
        int expected = 0;
        firstSignal.compare_exchange_strong(expected, signalFor(event));
        ::SetEvent(wakeEvent);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this returns (or after about 5 s): give the
        // program that time to end the way it ends on a signal.
        ::Sleep(INFINITE);
    }
    return TRUE;
}

} // namespace

bool EndingSignals::install()
{
    if (installed)
        return true;
    if (!wakeEvent && !(wakeEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr)))
        return false;
    ignoring = false;
    // A Ctrl-C that was disabled for us when we started (a new process group) never reaches
    // the handler: it stays ignored, like a signal ignored at start elsewhere.
    if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE))
        return false;
    installed = true;
    return true;
}

int EndingSignals::fd()
{
    return -1;
}

void *EndingSignals::waitHandle()
{
    return wakeEvent;
}

int EndingSignals::received()
{
    return firstSignal;
}

void EndingSignals::drain()
{
    if (wakeEvent)
        ::ResetEvent(wakeEvent);
}

void EndingSignals::restore(bool ignoreLater)
{
    if (!installed)
        return;
    if (ignoreLater) {
        // Kept, but noting nothing: a console closed now must still wait for our end.
        ignoring = true;
        return;
    }
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    installed = false;
}

void EndingSignals::endBy(int signal)
{
    std::fflush(nullptr);
    // No signal ends a process here; its status says which one stood for the event, as a shell
    // elsewhere would report it.
    std::_Exit(128 + signal);
}
