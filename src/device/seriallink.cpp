// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "seriallink.h"

#include <QElapsedTimer>

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

bool SerialLink::writeWithoutWaiting(int fd, QByteArray &unsent, bool socket)
{
    while (!unsent.isEmpty()) {
        const ssize_t written =
            socket ? ::send(fd, unsent.constData(), size_t(unsent.size()), MSG_NOSIGNAL)
                   : ::write(fd, unsent.constData(), size_t(unsent.size()));
        if (written > 0)
            unsent.remove(0, written);
        else if (written < 0 && errno == EINTR)
            continue;
        else
            return written == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

SerialLink::WriteWait SerialLink::waitUntilWritable(int fd, bool partlySent, int giveUpMs) const
{
    QElapsedTimer waited;
    waited.start();
    pollfd descriptor{fd, POLLOUT, 0};
    for (;;) {
        if ((!partlySent || waited.elapsed() >= CommandRestMs) && interruptRequested())
            return WriteWait::Interrupted;
        if (giveUpMs >= 0 && waited.elapsed() >= giveUpMs)
            return WriteWait::Stalled;
        const int ready = ::poll(&descriptor, 1, InterruptCheckMs);
        if (ready < 0 && errno != EINTR)
            return WriteWait::Broken;
        if (ready > 0 && (descriptor.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return WriteWait::Broken;
        if (ready > 0)
            return WriteWait::Writable;
    }
}

void SerialLink::reportLostLater(std::function<bool()> stillLost)
{
    QMetaObject::invokeMethod(
        this,
        [this, stillLost = std::move(stillLost)] {
            if (stillLost())
                emit lost();
        },
        Qt::QueuedConnection);
}
