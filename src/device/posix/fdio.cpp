// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "fdio.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace FdIo {

bool writeWithoutWaiting(int fd, std::string &unsent, bool socket)
{
    while (!unsent.empty()) {
        const ssize_t written = socket ? ::send(fd, unsent.data(), unsent.size(), MSG_NOSIGNAL)
                                       : ::write(fd, unsent.data(), unsent.size());
        if (written > 0)
            unsent.erase(0, size_t(written));
        else if (written < 0 && errno == EINTR)
            continue;
        else
            return written == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

WriteWait waitUntilWritable(int fd, bool partlySent, const std::function<bool()> &interrupted,
                            int checkMs, int restMs, int giveUpMs)
{
    const auto start = std::chrono::steady_clock::now();
    const auto elapsedMs = [start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    pollfd descriptor{fd, POLLOUT, 0};
    for (;;) {
        if ((!partlySent || elapsedMs() >= restMs) && interrupted && interrupted())
            return WriteWait::Interrupted;
        if (giveUpMs >= 0 && elapsedMs() >= giveUpMs)
            return WriteWait::Stalled;
        const int ready = ::poll(&descriptor, 1, checkMs);
        if (ready < 0 && errno != EINTR)
            return WriteWait::Broken;
        if (ready > 0 && (descriptor.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return WriteWait::Broken;
        if (ready > 0)
            return WriteWait::Writable;
    }
}

void closeFd(int &fd)
{
    if (fd < 0)
        return;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = -1;
}

} // namespace FdIo
