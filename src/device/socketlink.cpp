// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "socketlink.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A raw server that turns a connection away closes it about one round trip after accepting
// it; how long to wait for that, as a multiple of the time connecting took, and its bounds.
// A busy server takes a moment to schedule its words even across loopback.
constexpr qint64 TurnAwayRoundTrips = 4;
constexpr qint64 TurnAwayMinMs = 25;
constexpr qint64 TurnAwayMaxMs = 250;
// What is kept of the server's words when it turns us away.
constexpr qsizetype ServerTextLimit = 80;
// How much of a raw connection's first bytes is looked at for a server turning us away late.
constexpr qsizetype FirstWordsLimit = 2 * ServerTextLimit;
// How long a server that says the board is busy is asked again, and how often.
constexpr qint64 BusyRetryMs = 250;
constexpr unsigned long BusyRetryPauseMs = 25;

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Printable ASCII only, line ends as blanks: the text goes into one line for people.
QString serverText(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        if (c >= 0x20 && c < 0x7F)
            text += QLatin1Char(c);
        else if (c == '\r' || c == '\n' || c == '\t')
            text += QLatin1Char(' ');
    }
    return text.simplified().left(ServerTextLimit);
}

QString numericAddress(const sockaddr *address, socklen_t length)
{
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (::getnameinfo(address, length, host.data(), host.size(), service.data(), service.size(),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    RemoteAddress numeric;
    numeric.host = QString::fromLatin1(host.data());
    numeric.port = QByteArray(service.data()).toUShort();
    return numeric.hostPort();
}

bool isNegotiation(const QByteArray &bytes, qsizetype at)
{
    if (bytes.size() < at + 2 || quint8(bytes[at]) != TelnetCodec::Iac)
        return false;
    const quint8 verb = quint8(bytes[at + 1]);
    return verb == TelnetCodec::Sb || (verb >= TelnetCodec::Will && verb <= TelnetCodec::Dont);
}

// A telnet server greets with negotiation before anything is asked of it. Once a command has
// gone, three bytes could be the board's reply: then it takes two negotiations in a row.
bool greetsWithTelnet(const QByteArray &firstBytes, bool beforeAnyCommand)
{
    return isNegotiation(firstBytes, 0) &&
           (beforeAnyCommand || (firstBytes.size() >= 6 && isNegotiation(firstBytes, 3)));
}

// Whether the first `sent` bytes of wire end between the two halves of an escaped 0xFF.
bool splitsEscape(const QByteArray &wire, qsizetype sent)
{
    qsizetype at = 0;
    while (at < sent)
        at += quint8(wire[at]) == TelnetCodec::Iac ? 2 : 1;
    return at > sent;
}

} // namespace

SocketLink::SocketLink(const RemoteAddress &address, QObject *parent)
    : SerialLink(parent), m_address(address)
{}

SocketLink::~SocketLink()
{
    close();
}

OpenRefusal SocketLink::refusal(OpenFailure failure) const
{
    OpenRefusal refused;
    refused.failure = failure;
    refused.path = m_address.url();
    refused.device = m_address.hostPort();
    return refused;
}

std::optional<OpenRefusal> SocketLink::open()
{
    // A server still closing the board for the client before us (ser2net, for a few
    // milliseconds, most often when that client used another of its ports for the same board)
    // turns us away as busy: ask again for a moment before saying so.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        std::optional<OpenRefusal> refused = openOnce();
        if (!refused || refused->by != InUseBy::RemoteClient || clock.elapsed() >= BusyRetryMs ||
            interruptRequested())
            return refused;
        QThread::msleep(BusyRetryPauseMs);
    }
}

std::optional<OpenRefusal> SocketLink::openOnce()
{
    close();
    m_codec = TelnetCodec();
    m_peer.clear();
    m_lossText.clear();
    m_lateRefusal.reset();
    m_firstWords.clear();
    m_replied = false;
    m_commanded = false;
    m_roundTripMs = 0;
    QElapsedTimer clock;
    clock.start();
    qint64 handshakeNs = 0;
    if (std::optional<OpenRefusal> refused = connectSocket(&handshakeNs))
        return refused;
    m_state = LinkState::Open;
    ++m_generation;
    if (std::optional<OpenRefusal> refused =
            settle(handshakeNs, ConnectTimeoutMs - clock.elapsed())) {
        close();
        return refused;
    }
    startWatching();
    return std::nullopt;
}

std::optional<OpenRefusal> SocketLink::connectSocket(qint64 *handshakeNs)
{
    QElapsedTimer clock;
    clock.start();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int lookup =
        ::getaddrinfo(m_address.host.toUtf8().constData(),
                      QByteArray::number(m_address.port).constData(), &hints, &found);
    if (lookup != 0) {
        OpenRefusal unknown = refusal(OpenFailure::Unreachable);
        unknown.systemText = lookup == EAI_SYSTEM ? errorText(errno)
                                                  : QString::fromLocal8Bit(::gai_strerror(lookup));
        unknown.detail =
            QStringLiteral("cannot find host %1 (%2)").arg(m_address.host, unknown.systemText);
        return unknown;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

    int failedWith = EHOSTUNREACH; // should the lookup give no address at all
    bool timedOut = false;
    for (const addrinfo *candidate = found; candidate && !timedOut;
         candidate = candidate->ai_next) {
        const int fd =
            ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                     candidate->ai_protocol);
        if (fd < 0) {
            failedWith = errno;
            continue;
        }
        QElapsedTimer handshake;
        handshake.start();
        int error = ::connect(fd, candidate->ai_addr, candidate->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS || error == EINTR) {
            pollfd connecting{fd, POLLOUT, 0};
            for (;;) {
                const qint64 leftMs = ConnectTimeoutMs - clock.elapsed();
                if (leftMs <= 0) {
                    timedOut = true;
                    break;
                }
                if (interruptRequested()) {
                    ::close(fd);
                    OpenRefusal interrupted = refusal(OpenFailure::Other);
                    interrupted.systemText = QStringLiteral("interrupted");
                    return interrupted;
                }
                const int ready =
                    ::poll(&connecting, 1, int(std::min<qint64>(leftMs, InterruptCheckMs)));
                if (ready < 0 && errno != EINTR) {
                    error = errno;
                    break;
                }
                if (ready > 0) {
                    socklen_t length = sizeof error;
                    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                        error = errno;
                    break;
                }
            }
        }
        if (error == 0 && !timedOut) {
            *handshakeNs = handshake.nsecsElapsed();
            m_fd = fd;
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            m_peer = numericAddress(candidate->ai_addr, candidate->ai_addrlen);
            return std::nullopt;
        }
        ::close(fd);
        // "Nothing listens" says the most, whichever address said it.
        if (!timedOut && failedWith != ECONNREFUSED)
            failedWith = error;
    }

    OpenRefusal unreachable = refusal(OpenFailure::Unreachable);
    const QString where = m_address.hostPort();
    if (timedOut || failedWith == ETIMEDOUT) {
        unreachable.systemText = errorText(ETIMEDOUT);
        unreachable.detail = QStringLiteral("%1 did not answer within %2 s")
                                 .arg(where, QString::number(ConnectTimeoutMs / 1000));
        return unreachable;
    }
    unreachable.systemText = errorText(failedWith);
    switch (failedWith) {
    case ECONNREFUSED:
        unreachable.detail = QStringLiteral("nothing listens on %1").arg(where);
        break;
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        unreachable.detail =
            QStringLiteral("no route to %1 (%2)").arg(where, unreachable.systemText);
        break;
    default:
        unreachable.detail =
            QStringLiteral("%1 cannot be reached (%2)").arg(where, unreachable.systemText);
        break;
    }
    return unreachable;
}

std::optional<OpenRefusal> SocketLink::settle(qint64 handshakeNs, qint64 leftMs)
{
    // RFC 2217: until the server has confirmed the line settings. Raw: a few round trips.
    const qint64 handshakeMs = (handshakeNs + 999999) / 1000000;
    const qint64 waitMs =
        rfc2217() ? leftMs
                  : std::clamp(TurnAwayRoundTrips * handshakeMs, TurnAwayMinMs, TurnAwayMaxMs);
    if (rfc2217()) {
        queue(m_codec.opening());
        writeUnsent();
    }
    QElapsedTimer clock;
    clock.start();
    bool connected = true;
    while (connected && m_state == LinkState::Open) {
        if (rfc2217() && m_codec.settled()) {
            // The settings went out and came back: the network's round trip, and the server's.
            m_roundTripMs = int(std::max(handshakeMs, (clock.nsecsElapsed() + 999999) / 1000000));
            return std::nullopt;
        }
        if (!rfc2217() && greetsWithTelnet(m_firstWords, true))
            return turnedAway(false, true);
        // A server says it is busy a moment before it closes the connection, or keeps it.
        if (std::optional<OpenRefusal> busy = saysBusy())
            return busy;
        const qint64 remainingMs = waitMs - clock.elapsed();
        if (remainingMs <= 0)
            break;
        if (interruptRequested()) {
            OpenRefusal interrupted = refusal(OpenFailure::Other);
            interrupted.systemText = QStringLiteral("interrupted");
            return interrupted;
        }
        pollfd socket{m_fd, POLLIN, 0};
        const int ready = ::poll(&socket, 1, int(std::min<qint64>(remainingMs, InterruptCheckMs)));
        if (ready > 0) {
            // Whatever the board sent meanwhile is stale; only its last kilobyte is kept.
            if (m_received.size() >= ReceiveBufferSize)
                m_received.clear();
            connected = readSome();
        }
    }

    if (connected && m_state == LinkState::Open) {
        if (!rfc2217()) {
            m_roundTripMs = int(handshakeMs);
            return std::nullopt;
        }
        OpenRefusal silent = refusal(OpenFailure::Unreachable);
        silent.systemText = errorText(ETIMEDOUT);
        silent.detail = QStringLiteral("%1 did not confirm the line settings within %2 s (is it "
                                       "an RFC 2217 port? socket:// is for raw ones)")
                            .arg(m_address.hostPort(), QString::number(ConnectTimeoutMs / 1000));
        return silent;
    }
    // Closed on us: the server's port is taken. What it said before may still wait.
    if (connected) {
        while (m_received.size() < ReceiveBufferSize && readSome()) {
            pollfd socket{m_fd, POLLIN, 0};
            if (::poll(&socket, 1, 0) <= 0)
                break;
        }
    }
    return turnedAway(true, true);
}

std::optional<OpenRefusal> SocketLink::turnedAway(bool closed, bool beforeAnyCommand) const
{
    if (!rfc2217() && greetsWithTelnet(m_firstWords, beforeAnyCommand)) {
        OpenRefusal telnet = refusal(OpenFailure::Unreachable);
        telnet.detail =
            QStringLiteral("%1 speaks telnet (RFC 2217): use rfc2217://").arg(m_address.hostPort());
        return telnet;
    }
    const QString said = serverText(rfc2217() ? m_received : m_firstWords);
    // A serial server says why (ser2net: "Port already in use"), or nothing; anything else that
    // talks and hangs up is some other service on that port.
    const bool busyWords = said.contains(QLatin1String("in use"), Qt::CaseInsensitive);
    if (!closed && !busyWords)
        return std::nullopt;
    if (!said.isEmpty() && !busyWords) {
        OpenRefusal stranger = refusal(OpenFailure::Unreachable);
        stranger.detail = QStringLiteral("%1 closed the connection at once, saying: %2 (is it a "
                                         "serial server's port?)")
                              .arg(m_address.hostPort(), said);
        return stranger;
    }
    OpenRefusal busy = refusal(OpenFailure::InUse);
    busy.by = InUseBy::RemoteClient;
    busy.detail = said;
    return busy;
}

bool SocketLink::readSome()
{
    std::array<char, ReceiveBufferSize> buffer;
    qsizetype room = ReceiveBufferSize - m_received.size();
    for (qint64 taken = 0; room > 0 && taken < ReadRoundLimit;) {
        ssize_t count;
        while ((count = ::recv(m_fd, buffer.data(), size_t(room), 0)) < 0 && errno == EINTR) {
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (count <= 0) {
            m_readError = count < 0 ? errno : 0;
            return false;
        }
        taken += count;
        acknowledgeAtOnce();
        if (rfc2217()) {
            QByteArray answers;
            m_codec.feed(QByteArrayView(buffer.data(), count), m_received, answers);
            if (!answers.isEmpty()) {
                queue(answers);
                writeUnsent();
            }
        } else {
            m_received.append(buffer.data(), count);
            if (!m_replied && m_firstWords.size() < FirstWordsLimit)
                m_firstWords.append(
                    buffer.data(),
                    std::min<qsizetype>(count, FirstWordsLimit - m_firstWords.size()));
        }
        // Less than asked for: the socket holds no more now.
        if (count < room)
            return true;
        room = ReceiveBufferSize - m_received.size();
    }
    return true;
}

QString SocketLink::brokenText(int error) const
{
    const QString where = m_address.hostPort();
    if (error == 0)
        return QStringLiteral("the connection to %1 was closed").arg(where);
    if (error == ECONNRESET || error == EPIPE)
        return QStringLiteral("the connection to %1 was reset (%2)").arg(where, errorText(error));
    return QStringLiteral("the connection to %1 broke (%2)").arg(where, errorText(error));
}

void SocketLink::queue(const QByteArray &bytes)
{
    if (m_unsent.isEmpty())
        m_unsentSince.start();
    m_unsent += bytes;
}

void SocketLink::acknowledgeAtOnce()
{
#ifdef TCP_QUICKACK
    // A server that sends small writes without TCP_NODELAY holds each one back until the one
    // before is acknowledged; the system's usual delay of that (up to 40 ms) would show in the
    // negotiation and in every reply that comes in more than one piece. The system falls back
    // to delaying, so it is asked again after each read.
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

QString SocketLink::settingsProblem() const
{
    if (!rfc2217())
        return {};
    if (m_codec.comPortRefused()) {
        return QStringLiteral("%1 refused the com-port option: the line settings are the "
                              "server's own, not confirmed as 9600 8N1")
            .arg(m_address.hostPort());
    }
    if (const QString other = m_codec.otherSettings(); !other.isEmpty()) {
        return QStringLiteral("%1 set the line to %2, not 9600 8N1 as asked")
            .arg(m_address.hostPort(), other);
    }
    return {};
}

void SocketLink::startWatching()
{
    // From the event loop: telnet answers and a closed connection are dealt with also while
    // nobody reads; what cannot be sent yet goes once the socket takes it.
    m_readable = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readable, &QSocketNotifier::activated, this, &SocketLink::onReadable);
    m_writable = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    connect(m_writable, &QSocketNotifier::activated, this, &SocketLink::writeUnsent);
    writeUnsent();
}

void SocketLink::onReadable()
{
    takeArrived();
}

std::optional<OpenRefusal> SocketLink::saysBusy() const
{
    if (rfc2217() || m_replied)
        return std::nullopt;
    std::optional<OpenRefusal> refused = turnedAway(false, false);
    if (refused && refused->by == InUseBy::RemoteClient && !refused->detail.isEmpty())
        return refused;
    return std::nullopt;
}

void SocketLink::takeArrived()
{
    if (m_state != LinkState::Open)
        return;
    const bool connected = readSome();
    if (!m_replied && !rfc2217()) {
        // Only words that say so: a connection that just ends is lost, not refused.
        std::optional<OpenRefusal> refused = turnedAway(!connected, false);
        if (refused && (greetsWithTelnet(m_firstWords, false) || saysBusy())) {
            m_lateRefusal = refused;
            markLost(refused->text());
        }
    }
    if (!connected)
        markLost(brokenText(m_readError));
    // A full buffer would report readable at once, every time, until someone takes bytes.
    if (m_readable)
        m_readable->setEnabled(m_state == LinkState::Open && m_received.size() < ReceiveBufferSize);
}

void SocketLink::close()
{
    delete std::exchange(m_readable, nullptr);
    delete std::exchange(m_writable, nullptr);
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_unsent.clear();
    m_received.clear();
    m_purgeSent = false;
    m_state = LinkState::Closed;
}

bool SocketLink::output(const QByteArray &bytes)
{
    // A server that has gone since the last look would still take the bytes (the system does,
    // after the other side's end): look first, so a command never goes into a closed
    // connection unnoticed.
    takeArrived();
    if (m_state != LinkState::Open)
        return false;
    m_purgeSent = false;
    const QByteArray wire = rfc2217() ? TelnetCodec::escaped(bytes) : bytes;
    // Telnet answers still waiting go first; the command never splits one.
    queue(wire);
    m_commanded = true;
    if (!hasInterruptCheck()) {
        writeUnsent();
        return m_state == LinkState::Open;
    }
    for (;;) {
        writeUnsent();
        if (m_state != LinkState::Open)
            return false;
        if (m_unsent.isEmpty())
            return true;
        const qsizetype sent = std::max<qsizetype>(0, wire.size() - m_unsent.size());
        const int stallLeftMs = int(std::max<qint64>(1, BackPressureMs - m_unsentSince.elapsed()));
        if (const WriteWait wait = waitUntilWritable(m_fd, sent > 0, stallLeftMs);
            wait != WriteWait::Writable) {
            if (wait == WriteWait::Broken)
                markLost(brokenText(EPIPE));
            else if (wait == WriteWait::Stalled)
                markLost(stalledText());
            // None of the command went, or the system took some and then nothing more for
            // a second: the rest is given up, but never half of an escaped 0xFF.
            if (m_state == LinkState::Open) {
                m_unsent.chop(wire.size() - sent - (splitsEscape(wire, sent) ? 1 : 0));
                writeUnsent();
            }
            return false;
        }
    }
}

QString SocketLink::stalledText() const
{
    return QStringLiteral("%1 took nothing we sent for %2 s: the connection counts as lost")
        .arg(m_address.hostPort())
        .arg(BackPressureMs / 1000);
}

void SocketLink::writeUnsent()
{
    if (m_state == LinkState::Open && !m_unsent.isEmpty()) {
        const qsizetype before = m_unsent.size();
        if (!writeWithoutWaiting(m_fd, m_unsent, true))
            markLost(brokenText(errno));
        else if (m_unsent.size() < before)
            m_unsentSince.start();
        else if (m_unsent.size() > UnsentLimit || m_unsentSince.elapsed() >= BackPressureMs)
            markLost(stalledText());
    }
    if (m_writable)
        m_writable->setEnabled(m_state == LinkState::Open && !m_unsent.isEmpty());
}

qsizetype SocketLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    takeArrived();
    return m_state == LinkState::Open ? m_received.size() : 0;
}

QByteArray SocketLink::input()
{
    // Bytes counted already are taken without asking the socket again: what it holds now came
    // after them, as if a moment after this call.
    if (m_state != LinkState::Open || (m_received.isEmpty() && inBufferCount() == 0))
        return {};
    if (m_readable)
        m_readable->setEnabled(true);
    // The board has answered: from now on the server's words are the board's bytes. What came
    // before any command (dropped by an owner that starts afresh) answers nothing.
    m_replied = m_replied || m_commanded;
    return std::exchange(m_received, {});
}

void SocketLink::dropWaiting()
{
    if (m_state != LinkState::Open)
        return;
    if (m_received.isEmpty() && inBufferCount() == 0)
        return;
    m_received.clear();
    if (m_readable)
        m_readable->setEnabled(true);
    // More may be on its way from the server; one purge until the next command drops it all.
    if (rfc2217() && !m_purgeSent) {
        m_purgeSent = true;
        queue(TelnetCodec::purgeReceive());
        writeUnsent();
    }
}

void SocketLink::waitForInput(int msecs)
{
    if (m_state != LinkState::Open || msecs <= 0)
        return;
    if (m_received.size() >= ReceiveBufferSize) {
        // Nothing more is read until someone takes bytes: the socket would report readable
        // at once, every time. Wait without polling it.
        QThread::msleep(ulong(msecs));
        return;
    }
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 leftMs = msecs - clock.elapsed();
        if (leftMs <= 0)
            return;
        pollfd socket{m_fd, POLLIN, 0};
        const int ready = ::poll(&socket, 1, int(leftMs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return;
        // Raw, readable means the board's bytes (or the end, which the count finds).
        if (!rfc2217() && (socket.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
            return;
        const qsizetype before = m_received.size();
        takeArrived();
        // Telnet alone is no news for the caller: wait on with what is left.
        if (m_state != LinkState::Open || m_received.size() > before || !rfc2217())
            return;
    }
}

void SocketLink::markLost(const QString &why)
{
    if (m_state != LinkState::Open)
        return;
    m_state = LinkState::Lost;
    m_lossText = why;
    if (m_readable)
        m_readable->setEnabled(false);
    if (m_writable)
        m_writable->setEnabled(false);
    reportLostLater([this, generation = m_generation] {
        return m_state == LinkState::Lost && m_generation == generation;
    });
}
