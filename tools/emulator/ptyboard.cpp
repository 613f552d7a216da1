// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ptyboard.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), qt_error_string(errno));
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

PtyBoard::~PtyBoard()
{
    stop();
}

bool PtyBoard::start(QString *error)
{
    std::lock_guard control(m_controlMutex);
    std::unique_lock lock(m_mutex);
    const auto fail = [&](const QString &message) {
        closeFdsLocked();
        if (error)
            *error = message;
        return false;
    };
    if (m_thread.joinable())
        return fail(QStringLiteral("the board is already running on %1").arg(m_pty.devicePath()));

    QString ptyError;
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

QString PtyBoard::devicePath() const
{
    std::lock_guard lock(m_mutex);
    return m_pty.devicePath();
}

QByteArray PtyBoard::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

void PtyBoard::setRecording(bool on)
{
    std::lock_guard lock(m_mutex);
    m_recording = on;
    if (!on)
        m_received = QByteArray();
}

void PtyBoard::clearReceived()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
    m_readRequests = 0;
}

bool PtyBoard::waitForReceived(qsizetype count, int timeoutMs)
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

void PtyBoard::setInputPattern(Port port, quint8 pattern)
{
    std::lock_guard lock(m_mutex);
    m_model.setInputPattern(port, pattern);
}

quint8 PtyBoard::inputPattern(Port port) const
{
    std::lock_guard lock(m_mutex);
    return m_model.inputPattern(port);
}

quint8 PtyBoard::direction(Port port) const
{
    std::lock_guard lock(m_mutex);
    return m_model.direction(port);
}

quint8 PtyBoard::output(Port port) const
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
    m_replyDelayMs = qMax(0, ms);
}

int PtyBoard::replyDelay() const
{
    std::lock_guard lock(m_mutex);
    return m_replyDelayMs;
}

void PtyBoard::inject(const QByteArray &bytes)
{
    std::lock_guard lock(m_mutex);
    if (!m_pty.isOpen())
        return;
    m_outgoing += bytes;
    flushOutgoingLocked();
    if (!m_outgoing.isEmpty())
        wakeLocked(); // the I/O thread has to wait for room in the pty
}

bool PtyBoard::waitUntilSent(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !m_pty.isOpen() || (m_pendingReplies.empty() && m_outgoing.isEmpty());
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
        fds[1].events = short(POLLIN | (m_outgoing.isEmpty() ? 0 : POLLOUT));
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
        QStringList log;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            // Our own slave descriptor should rule out a hang-up here; should one come anyway,
            // stop polling the master rather than spin on it.
            if (!readMasterLocked(log) && (fds[1].revents & (POLLHUP | POLLERR)))
                m_masterBroken = true;
        }
        releaseDueRepliesLocked();
        flushOutgoingLocked();

        if (!log.isEmpty() && m_logHandler) {
            const LogHandler handler = m_logHandler;
            lock.unlock();
            for (const QString &line : std::as_const(log))
                handler(line);
            lock.lock();
        }
    }
}

bool PtyBoard::readMasterLocked(QStringList &log)
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
                    m_received.append(buffer[i]);
                for (const BoardModel::Event &event : m_model.feed(quint8(buffer[i])))
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

void PtyBoard::handleEventLocked(const BoardModel::Event &event, QStringList &log)
{
    if (event.kind != BoardModel::EventKind::ReadPorts) {
        log << BoardModel::describe(event);
        return;
    }

    ++m_readRequests;
    QByteArray reply = event.reply;
    QString line = BoardModel::describe(event);
    switch (m_replyMode) {
    case ReplyMode::Normal:
        break;
    case ReplyMode::Short:
        reply.truncate(2);
        line = QStringLiteral("read-ports -> %1 (short reply)").arg(BoardModel::hex(reply));
        break;
    case ReplyMode::Extra:
        reply.append(char(ExtraReplyByte));
        line = QStringLiteral("read-ports -> %1 (extra byte)").arg(BoardModel::hex(reply));
        break;
    case ReplyMode::Silent:
        reply.clear();
        line = QStringLiteral("read-ports -> no reply (silent)");
        break;
    case ReplyMode::Double:
        reply += reply;
        line = QStringLiteral("read-ports -> %1 (twice)").arg(BoardModel::hex(reply));
        break;
    }
    if (m_replyDelayMs > 0 && !reply.isEmpty())
        line += QStringLiteral(" after %1 ms").arg(m_replyDelayMs);
    log << line;

    if (!reply.isEmpty()) {
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
    return int(std::clamp<qint64>(remaining.count(), 0, INT_MAX));
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
    while (!m_outgoing.isEmpty() && m_pty.isOpen() && !m_masterBroken) {
        const ssize_t written =
            ::write(m_pty.masterFd(), m_outgoing.constData(), m_outgoing.size());
        if (written > 0) {
            m_outgoing.remove(0, written);
            if (m_outgoing.isEmpty()) {
                m_outgoing = QByteArray(); // a flood's megabytes are not kept for later
                m_changed.notify_all();    // for waitUntilSent()
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
