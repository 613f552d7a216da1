// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "socketlink.h"

// Before any standard header: on Windows one of them brings in <windows.h>, which has to come
// after <winsock2.h>.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "posix/fdio.h"
#include "systemerror.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

namespace {

// The few socket calls that differ between the systems: POSIX sockets, and Winsock 2.
namespace Net {

using Handle = std::intptr_t;

#ifdef _WIN32

using Length = int;
enum Error : int {
    TimedOut = WSAETIMEDOUT,
    Refused = WSAECONNREFUSED,
    HostUnreachable = WSAEHOSTUNREACH,
    NetUnreachable = WSAENETUNREACH,
    AddressNotAvailable = WSAEADDRNOTAVAIL,
    FamilyNotSupported = WSAEAFNOSUPPORT,
    Reset = WSAECONNRESET,
    // What a write into a connection the other side has ended says.
    Pipe = WSAECONNABORTED,
};

SOCKET sock(Handle handle)
{
    return SOCKET(handle);
}

int lastError()
{
    return WSAGetLastError();
}

std::string errorText(int error)
{
    std::array<wchar_t, 512> text{};
    DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         DWORD(error), 0, text.data(), DWORD(text.size()), nullptr);
    // One clause in a line, as the POSIX texts are: no line end, no full stop.
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' ||
                          text[length - 1] == L' ' || text[length - 1] == L'.'))
        --length;
    if (length == 0)
        return "error " + std::to_string(error);
    std::string said(std::size_t(length) * 4, '\0');
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(length), said.data(),
                                           int(said.size()), nullptr, nullptr);
    said.resize(std::size_t(std::max(size, 0)));
    return said;
}

// Winsock, started once for the process: 0, or why it could not be.
int start()
{
    static const int failed = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return failed;
}

std::string lookupErrorText(int lookup)
{
    return errorText(lookup);
}

bool isPending(int error)
{
    return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
}

Handle openSocket(const addrinfo &candidate)
{
    const SOCKET socket =
        ::WSASocketW(candidate.ai_family, candidate.ai_socktype, candidate.ai_protocol, nullptr, 0,
                     WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET)
        return -1;
    u_long on = 1;
    if (::ioctlsocket(socket, FIONBIO, &on) != 0) {
        const int error = lastError();
        ::closesocket(socket);
        WSASetLastError(error);
        return -1;
    }
    return Handle(socket);
}

void closeSocket(Handle handle)
{
    ::closesocket(sock(handle));
}

// Waits for a connect under way: 1 once it is decided, 0 when msecs passed, -1 on an error.
// select(), since WSAPoll on older Windows never reports a connection that failed.
int waitForConnect(Handle handle, int msecs)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(sock(handle), &writable);
    FD_SET(sock(handle), &failed);
    timeval timeout{msecs / 1000, msecs % 1000 * 1000};
    return ::select(0, nullptr, &writable, &failed, &timeout);
}

int pollOne(Handle handle, short events, short *revents, int msecs)
{
    WSAPOLLFD socket{sock(handle), events, 0};
    const int ready = ::WSAPoll(&socket, 1, msecs);
    *revents = socket.revents;
    return ready;
}

bool interruptedCall()
{
    return false;
}

// -1 with lastError() set, 0 at the end of the stream, else the count.
std::int64_t receive(Handle handle, char *buffer, std::size_t size)
{
    return ::recv(sock(handle), buffer, int(size), 0);
}

bool wouldBlock()
{
    return lastError() == WSAEWOULDBLOCK;
}

bool writeWithoutWaiting(Handle handle, std::string &unsent)
{
    while (!unsent.empty()) {
        const int written = ::send(sock(handle), unsent.data(), int(unsent.size()), 0);
        if (written > 0)
            unsent.erase(0, std::size_t(written));
        else
            return written == 0 || wouldBlock();
    }
    return true;
}

FdIo::WriteWait waitUntilWritable(Handle handle, bool partlySent,
                                  const std::function<bool()> &interrupted, int checkMs, int restMs,
                                  int giveUpMs)
{
    const auto start = std::chrono::steady_clock::now();
    const auto elapsedMs = [start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    for (;;) {
        if ((!partlySent || elapsedMs() >= restMs) && interrupted && interrupted())
            return FdIo::WriteWait::Interrupted;
        if (giveUpMs >= 0 && elapsedMs() >= giveUpMs)
            return FdIo::WriteWait::Stalled;
        short revents = 0;
        const int ready = pollOne(handle, POLLOUT, &revents, checkMs);
        if (ready < 0 || (ready > 0 && (revents & (POLLERR | POLLHUP | POLLNVAL))))
            return FdIo::WriteWait::Broken;
        if (ready > 0)
            return FdIo::WriteWait::Writable;
    }
}

#else

using Length = socklen_t;
enum Error : int {
    TimedOut = ETIMEDOUT,
    Refused = ECONNREFUSED,
    HostUnreachable = EHOSTUNREACH,
    NetUnreachable = ENETUNREACH,
    AddressNotAvailable = EADDRNOTAVAIL,
    FamilyNotSupported = EAFNOSUPPORT,
    Reset = ECONNRESET,
    Pipe = EPIPE,
};

int sock(Handle handle)
{
    return int(handle);
}

int lastError()
{
    return errno;
}

std::string errorText(int error)
{
    return systemErrorText(error);
}

int start()
{
    return 0;
}

std::string lookupErrorText(int lookup)
{
    return lookup == EAI_SYSTEM ? errorText(errno) : std::string(::gai_strerror(lookup));
}

bool isPending(int error)
{
    return error == EINPROGRESS || error == EINTR;
}

Handle openSocket(const addrinfo &candidate)
{
    return ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    candidate.ai_protocol);
}

void closeSocket(Handle handle)
{
    ::close(sock(handle));
}

int waitForConnect(Handle handle, int msecs)
{
    pollfd connecting{sock(handle), POLLOUT, 0};
    return ::poll(&connecting, 1, msecs);
}

int pollOne(Handle handle, short events, short *revents, int msecs)
{
    pollfd socket{sock(handle), events, 0};
    const int ready = ::poll(&socket, 1, msecs);
    *revents = socket.revents;
    return ready;
}

bool interruptedCall()
{
    return errno == EINTR;
}

std::int64_t receive(Handle handle, char *buffer, std::size_t size)
{
    ssize_t count;
    while ((count = ::recv(sock(handle), buffer, size, 0)) < 0 && errno == EINTR) {
    }
    return count;
}

bool wouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool writeWithoutWaiting(Handle handle, std::string &unsent)
{
    return FdIo::writeWithoutWaiting(sock(handle), unsent, true);
}

FdIo::WriteWait waitUntilWritable(Handle handle, bool partlySent,
                                  const std::function<bool()> &interrupted, int checkMs, int restMs,
                                  int giveUpMs)
{
    return FdIo::waitUntilWritable(sock(handle), partlySent, interrupted, checkMs, restMs,
                                   giveUpMs);
}

#endif

// The error a connect under way ended with: 0 when it succeeded.
int connectError(Handle handle)
{
    int error = 0;
    Length length = sizeof error;
    if (::getsockopt(sock(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error),
                     &length) != 0)
        error = lastError();
    return error;
}

void setOption(Handle handle, int level, int option)
{
    const int on = 1;
    ::setsockopt(sock(handle), level, option, reinterpret_cast<const char *>(&on), sizeof on);
}

} // namespace Net

using Clock = std::chrono::steady_clock;

std::int64_t elapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

std::int64_t elapsedNs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - since).count();
}

// A raw server that turns a connection away closes it about one round trip after accepting
// it; how long to wait for that, as a multiple of the time connecting took, and its bounds.
// A busy server takes a moment to schedule its words even across loopback.
constexpr std::int64_t TurnAwayRoundTrips = 4;
constexpr std::int64_t TurnAwayMinMs = 25;
constexpr std::int64_t TurnAwayMaxMs = 250;
// What is kept of the server's words when it turns us away.
constexpr std::size_t ServerTextLimit = 80;
// How much of a raw connection's first bytes is looked at for a server turning us away late.
constexpr std::size_t FirstWordsLimit = 2 * ServerTextLimit;
// How long a server that says the board is busy is asked again, and how often.
constexpr std::int64_t BusyRetryMs = 250;
constexpr auto BusyRetryPause = std::chrono::milliseconds(25);

// Printable ASCII only, line ends as blanks, runs of blanks as one: the text goes into one
// line for people.
std::string serverText(std::string_view bytes)
{
    std::string text;
    bool blank = false;
    for (const char c : bytes) {
        if (c == ' ' || c == '\r' || c == '\n' || c == '\t') {
            blank = !text.empty();
        } else if (c > 0x20 && c < 0x7F) {
            if (blank)
                text += ' ';
            blank = false;
            text += c;
        }
    }
    return text.substr(0, ServerTextLimit);
}

bool containsIgnoringCase(std::string_view text, std::string_view lower)
{
    const auto it =
        std::search(text.begin(), text.end(), lower.begin(), lower.end(), [](char a, char b) {
            return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
        });
    return it != text.end();
}

std::string numericAddress(const sockaddr *address, Net::Length length)
{
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (::getnameinfo(address, length, host.data(), host.size(), service.data(), service.size(),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    RemoteAddress numeric;
    numeric.host = host.data();
    numeric.port = std::uint16_t(std::strtoul(service.data(), nullptr, 10));
    return numeric.hostPort();
}

bool isNegotiation(std::string_view bytes, std::size_t at)
{
    if (bytes.size() < at + 2 || std::uint8_t(bytes[at]) != TelnetCodec::Iac)
        return false;
    const auto verb = std::uint8_t(bytes[at + 1]);
    return verb == TelnetCodec::Sb || (verb >= TelnetCodec::Will && verb <= TelnetCodec::Dont);
}

// A telnet server greets with negotiation before anything is asked of it. Once a command has
// gone, three bytes could be the board's reply: then it takes two negotiations in a row.
bool greetsWithTelnet(std::string_view firstBytes, bool beforeAnyCommand)
{
    return isNegotiation(firstBytes, 0) &&
           (beforeAnyCommand || (firstBytes.size() >= 6 && isNegotiation(firstBytes, 3)));
}

// Whether the first `sent` bytes of wire end between the two halves of an escaped 0xFF.
bool splitsEscape(std::string_view wire, std::size_t sent)
{
    std::size_t at = 0;
    while (at < sent)
        at += std::uint8_t(wire[at]) == TelnetCodec::Iac ? 2 : 1;
    return at > sent;
}

} // namespace

SocketLink::SocketLink(const RemoteAddress &address) : m_address(address) {}

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

OpenRefusal SocketLink::interrupted() const
{
    OpenRefusal refused = refusal(OpenFailure::Other);
    refused.systemText = "interrupted";
    return refused;
}

std::optional<OpenRefusal> SocketLink::open()
{
    // A server still closing the board for the client before us (ser2net, for a few
    // milliseconds, most often when that client used another of its ports for the same board)
    // turns us away as busy: ask again for a moment before saying so.
    const Clock::time_point started = Clock::now();
    for (;;) {
        std::optional<OpenRefusal> refused = openOnce();
        if (!refused || refused->by != InUseBy::RemoteClient || elapsedMs(started) >= BusyRetryMs ||
            interruptRequested())
            return refused;
        std::this_thread::sleep_for(BusyRetryPause);
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
    const Clock::time_point started = Clock::now();
    std::int64_t handshakeNs = 0;
    if (std::optional<OpenRefusal> refused = connectSocket(&handshakeNs))
        return refused;
    m_state = LinkState::Open;
    resetLossReport();
    if (std::optional<OpenRefusal> refused =
            settle(handshakeNs, ConnectTimeoutMs - elapsedMs(started))) {
        close();
        return refused;
    }
    // What the negotiation could not send yet goes now, or from service().
    writeUnsent();
    return std::nullopt;
}

std::optional<OpenRefusal> SocketLink::connectSocket(std::int64_t *handshakeNs)
{
    const Clock::time_point started = Clock::now();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int lookup = Net::start();
    if (lookup == 0)
        lookup = ::getaddrinfo(m_address.host.c_str(), std::to_string(m_address.port).c_str(),
                               &hints, &found);
    if (lookup != 0) {
        OpenRefusal unknown = refusal(OpenFailure::Unreachable);
        unknown.systemText = Net::lookupErrorText(lookup);
        unknown.detail = "cannot find host " + m_address.host + " (" + unknown.systemText + ")";
        return unknown;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);

    int failedWith = Net::HostUnreachable; // should the lookup give no address at all
    bool timedOut = false;
    for (const addrinfo *candidate = found; candidate && !timedOut;
         candidate = candidate->ai_next) {
        const Handle socket = Net::openSocket(*candidate);
        if (socket == NoSocket) {
            failedWith = Net::lastError();
            continue;
        }
        const Clock::time_point handshake = Clock::now();
        int error = ::connect(Net::sock(socket), candidate->ai_addr,
                              Net::Length(candidate->ai_addrlen)) == 0
                        ? 0
                        : Net::lastError();
        if (Net::isPending(error)) {
            for (;;) {
                const std::int64_t leftMs = ConnectTimeoutMs - elapsedMs(started);
                if (leftMs <= 0) {
                    timedOut = true;
                    break;
                }
                if (interruptRequested()) {
                    Net::closeSocket(socket);
                    return interrupted();
                }
                const int ready = Net::waitForConnect(
                    socket, int(std::min<std::int64_t>(leftMs, InterruptCheckMs)));
                if (ready < 0 && !Net::interruptedCall()) {
                    error = Net::lastError();
                    break;
                }
                if (ready > 0) {
                    error = Net::connectError(socket);
                    break;
                }
            }
        }
        if (error == 0 && !timedOut) {
            *handshakeNs = elapsedNs(handshake);
            m_socket = socket;
            Net::setOption(socket, IPPROTO_TCP, TCP_NODELAY);
            Net::setOption(socket, SOL_SOCKET, SO_KEEPALIVE);
            m_peer = numericAddress(candidate->ai_addr, Net::Length(candidate->ai_addrlen));
            return std::nullopt;
        }
        Net::closeSocket(socket);
        // "Nothing listens" says the most, whichever address said it.
        if (!timedOut && failedWith != Net::Refused)
            failedWith = error;
    }

    OpenRefusal unreachable = refusal(OpenFailure::Unreachable);
    const std::string where = m_address.hostPort();
    if (timedOut || failedWith == Net::TimedOut) {
        unreachable.systemText = Net::errorText(Net::TimedOut);
        unreachable.detail =
            where + " did not answer within " + std::to_string(ConnectTimeoutMs / 1000) + " s";
        return unreachable;
    }
    unreachable.systemText = Net::errorText(failedWith);
    switch (failedWith) {
    case Net::Refused:
        unreachable.detail = "nothing listens on " + where;
        break;
    case Net::HostUnreachable:
    case Net::NetUnreachable:
    case Net::AddressNotAvailable:
    case Net::FamilyNotSupported:
        unreachable.detail = "no route to " + where + " (" + unreachable.systemText + ")";
        break;
    default:
        unreachable.detail = where + " cannot be reached (" + unreachable.systemText + ")";
        break;
    }
    return unreachable;
}

std::optional<OpenRefusal> SocketLink::settle(std::int64_t handshakeNs, std::int64_t leftMs)
{
    // RFC 2217: until the server has confirmed the line settings. Raw: a few round trips.
    const std::int64_t handshakeMs = (handshakeNs + 999999) / 1000000;
    const std::int64_t waitMs =
        rfc2217() ? leftMs
                  : std::clamp(TurnAwayRoundTrips * handshakeMs, TurnAwayMinMs, TurnAwayMaxMs);
    if (rfc2217()) {
        queue(m_codec.opening());
        writeUnsent();
    }
    const Clock::time_point started = Clock::now();
    bool connected = true;
    while (connected && m_state == LinkState::Open) {
        if (rfc2217() && m_codec.settled()) {
            // The settings went out and came back: the network's round trip, and the server's.
            m_roundTripMs = int(std::max(handshakeMs, (elapsedNs(started) + 999999) / 1000000));
            return std::nullopt;
        }
        if (!rfc2217() && greetsWithTelnet(m_firstWords, true))
            return turnedAway(false, true);
        // A server says it is busy a moment before it closes the connection, or keeps it.
        if (std::optional<OpenRefusal> busy = saysBusy())
            return busy;
        const std::int64_t remainingMs = waitMs - elapsedMs(started);
        if (remainingMs <= 0)
            break;
        if (interruptRequested())
            return interrupted();
        short revents = 0;
        const int ready = Net::pollOne(m_socket, POLLIN, &revents,
                                       int(std::min<std::int64_t>(remainingMs, InterruptCheckMs)));
        if (ready > 0) {
            // Whatever the board sent meanwhile is stale; only its last kilobyte is kept.
            if (m_received.full())
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
        silent.systemText = Net::errorText(Net::TimedOut);
        silent.detail = m_address.hostPort() + " did not confirm the line settings within " +
                        std::to_string(ConnectTimeoutMs / 1000) +
                        " s (is it an RFC 2217 port? socket:// is for raw ones)";
        return silent;
    }
    // Closed on us: the server's port is taken. What it said before may still wait.
    if (connected) {
        while (!m_received.full() && readSome()) {
            short revents = 0;
            if (Net::pollOne(m_socket, POLLIN, &revents, 0) <= 0)
                break;
        }
    }
    return turnedAway(true, true);
}

std::optional<OpenRefusal> SocketLink::turnedAway(bool closed, bool beforeAnyCommand) const
{
    if (!rfc2217() && greetsWithTelnet(m_firstWords, beforeAnyCommand)) {
        OpenRefusal telnet = refusal(OpenFailure::Unreachable);
        telnet.detail = m_address.hostPort() + " speaks telnet (RFC 2217): use rfc2217://";
        return telnet;
    }
    const std::string said = serverText(rfc2217() ? m_received.bytes() : m_firstWords);
    // A serial server says why (ser2net: "Port already in use"), or nothing; anything else that
    // talks and hangs up is some other service on that port.
    const bool busyWords = containsIgnoringCase(said, "in use");
    if (!closed && !busyWords)
        return std::nullopt;
    if (!said.empty() && !busyWords) {
        OpenRefusal stranger = refusal(OpenFailure::Unreachable);
        stranger.detail = m_address.hostPort() + " closed the connection at once, saying: " + said +
                          " (is it a serial server's port?)";
        return stranger;
    }
    OpenRefusal busy = refusal(OpenFailure::InUse);
    busy.by = InUseBy::RemoteClient;
    busy.detail = said;
    return busy;
}

bool SocketLink::readSome()
{
    std::array<char, ReceiveBuffer::Capacity> buffer;
    std::size_t room = m_received.room();
    for (std::size_t taken = 0; room > 0 && taken < ReadRoundLimit;) {
        const std::int64_t count = Net::receive(m_socket, buffer.data(), room);
        if (count < 0 && Net::wouldBlock())
            return true;
        if (count <= 0) {
            m_readError = count < 0 ? Net::lastError() : 0;
            return false;
        }
        const auto got = std::size_t(count);
        taken += got;
        acknowledgeAtOnce();
        if (rfc2217()) {
            std::string answers;
            m_codec.feed(std::string_view(buffer.data(), got), m_received.bytes(), answers);
            if (!answers.empty()) {
                queue(answers);
                writeUnsent();
            }
        } else {
            m_received.append(std::string_view(buffer.data(), got));
            if (!m_replied && m_firstWords.size() < FirstWordsLimit)
                m_firstWords.append(buffer.data(),
                                    std::min(got, FirstWordsLimit - m_firstWords.size()));
        }
        // Less than asked for: the socket holds no more now.
        if (got < room)
            return true;
        room = m_received.room();
    }
    return true;
}

std::string SocketLink::brokenText(int error) const
{
    const std::string where = m_address.hostPort();
    if (error == 0)
        return "the connection to " + where + " was closed";
    if (error == Net::Reset || error == Net::Pipe)
        return "the connection to " + where + " was reset (" + Net::errorText(error) + ")";
    return "the connection to " + where + " broke (" + Net::errorText(error) + ")";
}

void SocketLink::queue(std::string_view bytes)
{
    if (m_unsent.empty())
        m_unsentSince = Clock::now();
    m_unsent += bytes;
}

void SocketLink::acknowledgeAtOnce()
{
#ifdef TCP_QUICKACK
    // A server that sends small writes without TCP_NODELAY holds each one back until the one
    // before is acknowledged; the system's usual delay of that (up to 40 ms) would show in the
    // negotiation and in every reply that comes in more than one piece. The system falls back
    // to delaying, so it is asked again after each read.
    Net::setOption(m_socket, IPPROTO_TCP, TCP_QUICKACK);
#endif
}

std::string SocketLink::settingsProblem() const
{
    if (!rfc2217())
        return {};
    if (m_codec.comPortRefused()) {
        return m_address.hostPort() + " refused the com-port option: the line settings are the "
                                      "server's own, not confirmed as 9600 8N1";
    }
    if (const std::string other = m_codec.otherSettings(); !other.empty())
        return m_address.hostPort() + " set the line to " + other + ", not 9600 8N1 as asked";
    return {};
}

std::optional<NetworkFacts> SocketLink::network() const
{
    NetworkFacts facts;
    facts.hostPort = m_address.hostPort();
    facts.telnet = rfc2217();
    facts.roundTripMs = m_roundTripMs;
    facts.settingsProblem = settingsProblem();
    return facts;
}

int SocketLink::descriptor() const
{
#ifdef _WIN32
    return -1;
#else
    return m_state == LinkState::Open ? int(m_socket) : -1;
#endif
}

void SocketLink::service()
{
    // Telnet answers and a closed connection are dealt with also while nobody reads; what
    // could not be sent yet goes once the socket takes it.
    if (wantsRead())
        takeArrived();
    writeUnsent();
}

std::optional<OpenRefusal> SocketLink::saysBusy() const
{
    if (rfc2217() || m_replied)
        return std::nullopt;
    std::optional<OpenRefusal> refused = turnedAway(false, false);
    if (refused && refused->by == InUseBy::RemoteClient && !refused->detail.empty())
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
}

void SocketLink::close()
{
    if (m_socket != NoSocket)
        Net::closeSocket(m_socket);
    m_socket = NoSocket;
    m_unsent.clear();
    m_received.clear();
    m_purgeSent = false;
    m_state = LinkState::Closed;
}

bool SocketLink::output(std::string_view bytes)
{
    // A server that has gone since the last look would still take the bytes (the system does,
    // after the other side's end): look first, so a command never goes into a closed
    // connection unnoticed.
    takeArrived();
    if (m_state != LinkState::Open)
        return false;
    m_purgeSent = false;
    const std::string wire = rfc2217() ? TelnetCodec::escaped(bytes) : std::string(bytes);
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
        if (m_unsent.empty())
            return true;
        const std::size_t sent = wire.size() > m_unsent.size() ? wire.size() - m_unsent.size() : 0;
        const int stallLeftMs =
            int(std::max<std::int64_t>(1, BackPressureMs - elapsedMs(m_unsentSince)));
        if (const FdIo::WriteWait wait = Net::waitUntilWritable(
                m_socket, sent > 0, [this] { return interruptRequested(); }, InterruptCheckMs,
                CommandRestMs, stallLeftMs);
            wait != FdIo::WriteWait::Writable) {
            if (wait == FdIo::WriteWait::Broken)
                markLost(brokenText(Net::Pipe));
            else if (wait == FdIo::WriteWait::Stalled)
                markLost(stalledText());
            // None of the command went, or the system took some and then nothing more for
            // a second: the rest is given up, but never half of an escaped 0xFF.
            if (m_state == LinkState::Open) {
                m_unsent.resize(m_unsent.size() -
                                (wire.size() - sent - (splitsEscape(wire, sent) ? 1 : 0)));
                writeUnsent();
            }
            return false;
        }
    }
}

std::string SocketLink::stalledText() const
{
    return m_address.hostPort() + " took nothing we sent for " +
           std::to_string(BackPressureMs / 1000) + " s: the connection counts as lost";
}

void SocketLink::writeUnsent()
{
    if (m_state != LinkState::Open || m_unsent.empty())
        return;
    const std::size_t before = m_unsent.size();
    if (!Net::writeWithoutWaiting(m_socket, m_unsent))
        markLost(brokenText(Net::lastError()));
    else if (m_unsent.size() < before)
        m_unsentSince = Clock::now();
    else if (m_unsent.size() > UnsentLimit || elapsedMs(m_unsentSince) >= BackPressureMs)
        markLost(stalledText());
}

std::size_t SocketLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    takeArrived();
    return m_state == LinkState::Open ? m_received.size() : 0;
}

std::string SocketLink::input()
{
    std::string bytes =
        m_received.take(m_state == LinkState::Open, [this] { return inBufferCount(); });
    // The board has answered: from now on the server's words are the board's bytes. What came
    // before any command (dropped by an owner that starts afresh) answers nothing.
    if (!bytes.empty())
        m_replied = m_replied || m_commanded;
    return bytes;
}

void SocketLink::dropWaiting()
{
    if (m_state != LinkState::Open)
        return;
    if (m_received.empty() && inBufferCount() == 0)
        return;
    m_received.clear();
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
    if (m_received.full()) {
        // Nothing more is read until someone takes bytes: the socket would report readable
        // at once, every time. Wait without polling it.
        std::this_thread::sleep_for(std::chrono::milliseconds(msecs));
        return;
    }
    const Clock::time_point started = Clock::now();
    for (;;) {
        const std::int64_t leftMs = msecs - elapsedMs(started);
        if (leftMs <= 0)
            return;
        short revents = 0;
        const int ready = Net::pollOne(m_socket, POLLIN, &revents, int(leftMs));
        if (ready < 0 && Net::interruptedCall())
            continue;
        if (ready <= 0)
            return;
        // Raw, readable means the board's bytes (or the end, which the count finds).
        if (!rfc2217() && (revents & (POLLERR | POLLHUP | POLLNVAL)) == 0)
            return;
        const std::size_t before = m_received.size();
        takeArrived();
        // Telnet alone is no news for the caller: wait on with what is left.
        if (m_state != LinkState::Open || m_received.size() > before || !rfc2217())
            return;
    }
}

void SocketLink::markLost(const std::string &why)
{
    if (m_state != LinkState::Open)
        return;
    m_state = LinkState::Lost;
    m_lossText = why;
    reportLoss();
}
