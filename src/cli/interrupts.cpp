// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "interrupts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

int wakePipe[2] = {-1, -1};
volatile sig_atomic_t firstSignal = 0;

void onSignal(int signal)
{
    const int savedErrno = errno;
    if (firstSignal == 0)
        firstSignal = signal;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = savedErrno;
}

// Polls fd (or nothing, with -1) and the wake pipe: 1 fd readable, 0 timed out, -1 signal.
int pollWith(int fd, int timeoutMs)
{
    if (firstSignal != 0)
        return -1;
    std::array<pollfd, 2> fds{{{wakePipe[0], POLLIN, 0}, {fd, POLLIN, 0}}};
    const int ready = ::poll(fds.data(), fd >= 0 ? 2 : 1, timeoutMs);
    if (firstSignal != 0)
        return -1;
    return ready > 0 && fds[1].revents != 0 ? 1 : 0;
}

} // namespace

bool Interrupts::install()
{
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

int Interrupts::received()
{
    return firstSignal;
}

bool Interrupts::sleepUntil(Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return firstSignal == 0;
        if (pollWith(-1, int(std::min<long long>(left.count(), 1 << 30))) < 0)
            return false;
    }
}

bool Interrupts::waitReadable(int fd)
{
    for (;;) {
        const int ready = pollWith(fd, -1);
        if (ready != 0)
            return ready > 0;
    }
}

void Interrupts::endBy(int signal)
{
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    std::_Exit(128 + signal);
}
