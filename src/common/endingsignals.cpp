// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "endingsignals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr std::array<int, 3> endingSignals = {SIGINT, SIGTERM, SIGHUP};

int wakePipe[2] = {-1, -1};
volatile sig_atomic_t firstSignal = 0;
bool installed = false;
std::array<struct sigaction, endingSignals.size()> previousActions;
// Ignored at the first install(), by whoever started us: after restore(true) every one is.
std::array<bool, endingSignals.size()> ignoredAtStart;
bool startSeen = false;

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (firstSignal == 0)
        firstSignal = signal;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool EndingSignals::install()
{
    if (installed)
        return true;
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < endingSignals.size(); ++i) {
        if (::sigaction(endingSignals[i], nullptr, &previousActions[i]) != 0)
            return false;
        if (!startSeen)
            ignoredAtStart[i] = previousActions[i].sa_handler == SIG_IGN;
        // nohup, or a shell starting a background job, means it to stay so.
        if (ignoredAtStart[i])
            continue;
        if (::sigaction(endingSignals[i], &action, nullptr) != 0)
            return false;
    }
    startSeen = true;
    installed = true;
    return true;
}

int EndingSignals::fd()
{
    return wakePipe[0];
}

int EndingSignals::received()
{
    return firstSignal;
}

void EndingSignals::drain()
{
    std::array<unsigned char, 64> bytes;
    while (wakePipe[0] >= 0 && ::read(wakePipe[0], bytes.data(), bytes.size()) > 0) {
    }
}

void EndingSignals::restore(bool ignoreLater)
{
    if (!installed)
        return;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (std::size_t i = 0; i < endingSignals.size(); ++i)
        ::sigaction(endingSignals[i], ignoreLater ? &ignore : &previousActions[i], nullptr);
    installed = false;
}

void EndingSignals::endBy(int signal)
{
    std::fflush(nullptr);
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    // Only reached if the default action does not end the process.
    std::_Exit(128 + signal);
}
