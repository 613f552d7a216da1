// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "interrupts.h"

#include "common/endingsignals.h"

#include <algorithm>

#ifdef _WIN32
#include <thread>
#else
#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

int Interrupts::received()
{
    return EndingSignals::received();
}

void Interrupts::endBy(int signal)
{
    EndingSignals::endBy(signal);
}

#ifndef _WIN32

namespace {

bool stdoutHungUp = false;

// After a signal, how long a full output may take to make room for more of a line.
constexpr int SignalGraceMs = 100;

enum class Ready { Fd, Timeout, Ended };

// Polls fd for events (or nothing, with -1), the signal pipe and, with watchOutput, standard
// output for a hangup. A ready fd wins over a signal that came meanwhile.
Ready pollWith(int fd, short events, int timeoutMs, bool watchOutput)
{
    const auto ended = [&] {
        return EndingSignals::received() != 0 || (watchOutput && stdoutHungUp);
    };
    if (ended())
        return Ready::Ended;
    // Events 0: only POLLERR and POLLHUP show, which a terminal, a file or /dev/null never
    // report while they can be written.
    std::array<pollfd, 3> fds{{{EndingSignals::fd(), POLLIN, 0},
                               {watchOutput ? STDOUT_FILENO : -1, 0, 0},
                               {fd, events, 0}}};
    int ready = -1;
    while ((ready = ::poll(fds.data(), fds.size(), timeoutMs)) < 0 && errno == EINTR) {
    }
    if (ready > 0 && fds[2].revents != 0)
        return Ready::Fd;
    if (fds[1].revents != 0)
        stdoutHungUp = true;
    return ended() ? Ready::Ended : Ready::Timeout;
}

bool openIfClosed(int fd)
{
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
        return true;
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened == fd)
        return true;
    if (opened >= 0)
        ::close(opened);
    return false;
}

} // namespace

bool Interrupts::install()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (!openIfClosed(fd))
            return false;
    }
    return EndingSignals::install() && ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
}

bool Interrupts::readerGone()
{
    return stdoutHungUp;
}

bool Interrupts::sleepUntil(Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return received() == 0 && !stdoutHungUp;
        const int timeoutMs = int(std::min<long long>(left.count(), 1 << 30));
        if (pollWith(-1, 0, timeoutMs, true) == Ready::Ended)
            return false;
    }
}

bool Interrupts::waitReadable(int fd, bool whileOutputLasts)
{
    for (;;) {
        const Ready ready = pollWith(fd, POLLIN, -1, whileOutputLasts);
        if (ready != Ready::Timeout)
            return ready == Ready::Fd;
    }
}

bool Interrupts::waitWritable(int fd)
{
    std::array<pollfd, 2> fds{{{EndingSignals::fd(), POLLIN, 0}, {fd, POLLOUT, 0}}};
    for (;;) {
        const int ready = ::poll(fds.data(), fds.size(), -1);
        if (ready > 0 && fds[1].revents != 0)
            return true;
        if (ready > 0 && fds[0].revents != 0) {
            // A reader that is still reading gets the rest of the line; one that stopped
            // does not hold the ending up.
            const int late = ::poll(&fds[1], 1, SignalGraceMs);
            return late > 0;
        }
    }
}

#else

bool Interrupts::install()
{
    return EndingSignals::install();
}

bool Interrupts::readerGone()
{
    return false;
}

bool Interrupts::sleepUntil(Clock::time_point deadline)
{
    // In short naps, so that a console's Ctrl+C ends the wait soon.
    constexpr auto Nap = std::chrono::milliseconds(50);
    while (received() == 0) {
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, Nap));
    }
    return false;
}

bool Interrupts::waitReadable(int, bool)
{
    return received() == 0;
}

bool Interrupts::waitWritable(int)
{
    return true;
}

#endif
