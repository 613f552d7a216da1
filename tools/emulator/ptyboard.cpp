// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ptyboard.h"

#include "common/posixcalls.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

PtyBoard::~PtyBoard()
{
    stop();
}

bool PtyBoard::start(std::string *error)
{
    std::lock_guard control(m_controlMutex);
    std::unique_lock lock(m_mutex);
    const auto fail = [&](const std::string &message) {
        closeFdsLocked();
        if (error)
            *error = message;
        return false;
    };
    if (m_thread.joinable())
        return fail("the board is already running on " + m_pty.devicePath());

    std::string ptyError;
    if (!m_pty.open(&ptyError))
        return fail(ptyError);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return fail(systemError("eventfd"));

    m_stopRequested = false;
    m_masterBroken = false;
    m_model.reset();
    m_received.clear();
    m_readRequests = 0;
    m_pendingReplies.clear();
    m_outgoing.clear();
    m_thread = std::thread(&PtyBoard::run, this);
    return true;
}

void PtyBoard::stop()
{
    std::lock_guard control(m_controlMutex);
    {
        std::lock_guard lock(m_mutex);
        if (!m_thread.joinable())
            return;
        m_stopRequested = true;
        wakeLocked();
    }
    m_thread.join();
    std::lock_guard lock(m_mutex);
    closeFdsLocked();
    m_pendingReplies.clear();
    m_outgoing.clear();
    m_changed.notify_all();
}

void PtyBoard::hangUp()
{
    // Closing the master is what hangs the slave up; with the pty gone there is nothing left
    // for the I/O thread to serve.
    stop();
}

bool PtyBoard::isRunning() const
{
    std::lock_guard lock(m_mutex);
    return m_pty.isOpen();
}

std::string PtyBoard::devicePath() const
{
    std::lock_guard lock(m_mutex);
    return m_pty.devicePath();
}

std::string PtyBoard::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

void PtyBoard::setRecording(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recording = on;
    if (!on)
        m_received = std::string(); // gives its memory back
}

void PtyBoard::clearReceived()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
    m_readRequests = 0;
}

bool PtyBoard::waitForReceived(std::size_t count, int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_received.size() >= count; });
}

int PtyBoard::readRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_readRequests;
}

void PtyBoard::setInputPattern(Port port, std::uint8_t pattern)
{
    std::lock_guard lock(m_mutex);
    m_model.setInputPattern(port, pattern);
}

std::uint8_t PtyBoard::inputPattern(Port port) const
{
    std::lock_guard lock(m_mutex);
    return m_model.inputPattern(port);
}

std::uint8_t PtyBoard::direction(Port port) const
{
    std::lock_guard lock(m_mutex);
    return m_model.direction(port);
}

std::uint8_t PtyBoard::output(Port port) const
{
    std::lock_guard lock(m_mutex);
    return m_model.output(port);
}

void PtyBoard::setReplyMode(ReplyMode mode)
{
    std::lock_guard lock(m_mutex);
    m_replyMode = mode;
}

PtyBoard::ReplyMode PtyBoard::replyMode() const
{
    std::lock_guard lock(m_mutex);
    return m_replyMode;
}

void PtyBoard::setReplyDelay(int ms)
{
    std::lock_guard lock(m_mutex);
    m_replyDelayMs = std::max(0, ms);
}

int PtyBoard::replyDelay() const
{
    std::lock_guard lock(m_mutex);
    return m_replyDelayMs;
}

void PtyBoard::inject(std::string_view bytes)
{
    std::lock_guard lock(m_mutex);
    if (!m_pty.isOpen())
        return;
    m_outgoing += bytes;
    flushOutgoingLocked();
    if (!m_outgoing.empty())
        wakeLocked(); // the I/O thread has to wait for room in the pty
}

bool PtyBoard::waitUntilSent(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !m_pty.isOpen() || (m_pendingReplies.empty() && m_outgoing.empty());
    });
}

void PtyBoard::setLogHandler(LogHandler handler)
{
    std::lock_guard lock(m_mutex);
    m_logHandler = std::move(handler);
}

void PtyBoard::run()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopRequested) {
        std::array<pollfd, 3> fds{};
        fds[0] = {m_wakeFd, POLLIN, 0};
        fds[1].fd = m_masterBroken ? -1 : m_pty.masterFd();
        fds[1].events = short(POLLIN | (m_outgoing.empty() ? 0 : POLLOUT));
        fds[2] = {m_pty.clientWatchFd(), POLLIN, 0};
        const int timeout = pollTimeoutLocked();

        lock.unlock();
        const int ready = ::poll(fds.data(), fds.size(), timeout);
        lock.lock();
        if (ready < 0 && errno != EINTR)
            break;

        if (fds[0].revents & POLLIN) {
            eventfd_t ignored;
            ::eventfd_read(m_wakeFd, &ignored);
        }
        if (fds[2].revents & POLLIN)
            m_pty.takeClientEvents();
        std::vector<std::string> log;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            // Our own slave descriptor should rule out a hang-up here; should one come anyway,
            // stop polling the master rather than spin on it.
            if (!readMasterLocked(log) && (fds[1].revents & (POLLHUP | POLLERR)))
                m_masterBroken = true;
        }
        releaseDueRepliesLocked();
        flushOutgoingLocked();

        if (!log.empty() && m_logHandler) {
            const LogHandler handler = m_logHandler;
            lock.unlock();
            for (const std::string &line : log)
                handler(line);
            lock.lock();
        }
    }
}

bool PtyBoard::readMasterLocked(std::vector<std::string> &log)
{
    std::array<char, 4096> buffer;
    bool gotAny = false;
    // A bounded share per round, so a client that never stops sending cannot grow the log
    // of one round without end.
    for (int round = 0; round < 16; ++round) {
        const ssize_t count = ::read(m_pty.masterFd(), buffer.data(), buffer.size());
        if (count > 0) {
            gotAny = true;
            for (ssize_t i = 0; i < count; ++i) {
                if (m_recording)
                    m_received += buffer[i];
                for (const BoardModel::Event &event : m_model.feed(std::uint8_t(buffer[i])))
                    handleEventLocked(event, log);
            }
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        break;
    }
    if (!gotAny)
        return false;
    m_changed.notify_all();
    return true;
}

void PtyBoard::handleEventLocked(const BoardModel::Event &event, std::vector<std::string> &log)
{
    if (event.kind != BoardModel::EventKind::ReadPorts) {
        log.push_back(BoardModel::describe(event));
        return;
    }

    ++m_readRequests;
    std::string reply = event.reply;
    std::string line = BoardModel::describe(event);
    switch (m_replyMode) {
    case ReplyMode::Normal:
        break;
    case ReplyMode::Short:
        reply.resize(2);
        line = "read-ports -> " + BoardModel::hex(reply) + " (short reply)";
        break;
    case ReplyMode::Extra:
        reply += char(ExtraReplyByte);
        line = "read-ports -> " + BoardModel::hex(reply) + " (extra byte)";
        break;
    case ReplyMode::Silent:
        reply.clear();
        line = "read-ports -> no reply (silent)";
        break;
    case ReplyMode::Double:
        reply += std::string(reply);
        line = "read-ports -> " + BoardModel::hex(reply) + " (twice)";
        break;
    }
    if (m_replyDelayMs > 0 && !reply.empty())
        line += " after " + std::to_string(m_replyDelayMs) + " ms";
    log.push_back(std::move(line));

    if (!reply.empty()) {
        // Always through the queue, so a reply never overtakes one still waiting out a
        // longer delay set before.
        m_pendingReplies.push_back(
            {Clock::now() + std::chrono::milliseconds(m_replyDelayMs), std::move(reply)});
    }
}

int PtyBoard::pollTimeoutLocked() const
{
    if (m_pendingReplies.empty())
        return -1;
    const auto remaining =
        std::chrono::ceil<std::chrono::milliseconds>(m_pendingReplies.front().due - Clock::now());
    return int(std::clamp<std::int64_t>(remaining.count(), 0, INT_MAX));
}

void PtyBoard::releaseDueRepliesLocked()
{
    const auto now = Clock::now();
    while (!m_pendingReplies.empty() && m_pendingReplies.front().due <= now) {
        m_outgoing += m_pendingReplies.front().bytes;
        m_pendingReplies.pop_front();
    }
}

void PtyBoard::flushOutgoingLocked()
{
    while (!m_outgoing.empty() && m_pty.isOpen() && !m_masterBroken) {
        const ssize_t written = ::write(m_pty.masterFd(), m_outgoing.data(), m_outgoing.size());
        if (written > 0) {
            m_outgoing.erase(0, std::size_t(written));
            if (m_outgoing.empty()) {
                m_outgoing = std::string(); // a flood's megabytes are not kept for later
                m_changed.notify_all();     // for waitUntilSent()
            }
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            break; // full: POLLOUT brings us back
        }
    }
}

void PtyBoard::wakeLocked()
{
    if (m_wakeFd >= 0)
        ::eventfd_write(m_wakeFd, 1);
}

void PtyBoard::closeFdsLocked()
{
    m_pty.close();
    closeFd(m_wakeFd);
}
