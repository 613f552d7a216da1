// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ptyendpoint.h"

#include "common/posixcalls.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int openSlave(const std::string &path)
{
    // O_NOCTTY: without it a process with no controlling terminal would adopt this pty, and
    // hanging it up would send that process SIGHUP.
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
}

bool makeRaw(int fd)
{
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        return false;
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

} // namespace

PtyEndpoint::~PtyEndpoint()
{
    close();
}

bool PtyEndpoint::open(std::string *error)
{
    const auto fail = [&](const std::string &message) {
        close();
        if (error)
            *error = message;
        return false;
    };
    close();
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_masterFd < 0)
        return fail(systemError("posix_openpt"));
    if (::grantpt(m_masterFd) != 0)
        return fail(systemError("grantpt"));

    // Termios calls on the master act on the slave. Raw mode goes in before the slave can be
    // opened, so no client ever meets a cooked line discipline that echoes or translates.
    termios settings{};
    if (::tcgetattr(m_masterFd, &settings) != 0)
        return fail(systemError("tcgetattr"));
    ::cfmakeraw(&settings);
    if (::tcsetattr(m_masterFd, TCSANOW, &settings) != 0)
        return fail(systemError("tcsetattr"));

    if (::unlockpt(m_masterFd) != 0)
        return fail(systemError("unlockpt"));
    std::array<char, PATH_MAX> name{};
    if (::ptsname_r(m_masterFd, name.data(), name.size()) != 0)
        return fail(systemError("ptsname"));
    m_devicePath = name.data();

    m_slaveFd = openSlave(m_devicePath);
    if (m_slaveFd < 0)
        return fail(systemError("open pty slave"));
    if (::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK) != 0)
        return fail(systemError("fcntl"));
    // The slave we hold keeps the tty open between clients, so the kernel never sees the
    // last close that would end a client's exclusive flag, and a client killed while holding
    // it would lock every later one out. A client's close wakes us to see to that.
    m_watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watchFd < 0)
        return fail(systemError("inotify_init1"));
    if (::inotify_add_watch(m_watchFd, name.data(), IN_OPEN | IN_CLOSE) < 0)
        return fail(systemError("inotify_add_watch"));
    return true;
}

void PtyEndpoint::close()
{
    closeFd(m_slaveFd);
    closeFd(m_masterFd);
    closeFd(m_watchFd);
}

int PtyEndpoint::drainWatch()
{
    int seen = 0;
    alignas(inotify_event) std::array<char, 4096> events;
    for (;;) {
        const ssize_t count = ::read(m_watchFd, events.data(), events.size());
        if (count <= 0)
            return seen;
        for (ssize_t at = 0; at < count;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events.data() + at);
            if (event->mask & IN_OPEN)
                seen |= Opened;
            // A lost event may have been a close.
            if (event->mask & (IN_CLOSE | IN_Q_OVERFLOW))
                seen |= Closed;
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}

PtyEndpoint::Clients PtyEndpoint::takeClientEvents()
{
    if (m_watchFd < 0)
        return Clients::Unchanged;
    const int seen = drainWatch();
    if (seen & Closed)
        return clientRemains() ? Clients::Present : Clients::Gone;
    return (seen & Opened) ? Clients::Present : Clients::Unchanged;
}

bool PtyEndpoint::clientRemains()
{
    int exclusive = 0;
    if (m_slaveFd >= 0 && ::ioctl(m_slaveFd, TIOCGEXCL, &exclusive) != 0)
        exclusive = 0;
    // Whether any client is left shows on the master as a hang-up once our own slave is
    // closed too. The flag goes first, or reopening it would be refused to anyone but root;
    // it is put back if a client still has the device open.
    if (exclusive)
        ::ioctl(m_slaveFd, TIOCNXCL);
    closeFd(m_slaveFd);
    pollfd master{m_masterFd, 0, 0};
    const bool remains = ::poll(&master, 1, 0) == 0 || !(master.revents & POLLHUP);
    m_slaveFd = openSlave(m_devicePath);
    // Our own close and open, so that they do not pass for a client's.
    drainWatch();
    if (remains && exclusive && m_slaveFd >= 0)
        ::ioctl(m_slaveFd, TIOCEXCL);
    return remains;
}

void PtyEndpoint::resetForNextClient()
{
    if (m_slaveFd < 0)
        return;
    // Termios calls on the held slave act on the device every client opens.
    ::tcflush(m_slaveFd, TCIFLUSH);
    makeRaw(m_slaveFd);
}
