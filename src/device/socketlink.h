// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "receivebuffer.h"
#include "remoteaddress.h"
#include "seriallink.h"
#include "telnetcodec.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// SerialLink over a TCP connection to a serial server (ser2net): raw, or RFC 2217. The
// server owns the line; with RFC 2217 it is asked for 9600 8N1 without flow control, and
// the link counts as open once it has confirmed that. A server that turns the connection
// away (its port is taken) closes it at once, so open() waits a moment for that before it
// says the link is open. Commands and replies go straight through the socket, with the same
// waits and bounds as a local port's link.
class SocketLink : public SerialLink
{
public:
    static constexpr int ConnectTimeoutMs = 3000; // connect, and the negotiation after it
    // What one look at the socket takes at most: a server that floods must not keep a caller
    // from its deadline.
    static constexpr std::size_t ReadRoundLimit = 64 * 1024;
    // A server that has taken nothing of what waits for this long, or lets this much pile up,
    // is not reading: the link counts as lost.
    static constexpr int BackPressureMs = 5000;
    static constexpr std::size_t UnsentLimit = 64 * 1024;

    explicit SocketLink(const RemoteAddress &address);
    ~SocketLink() override;

    std::optional<OpenRefusal> open() override;
    void close() override;
    LinkState state() const override { return m_state; }
    bool output(std::string_view bytes) override;
    std::size_t inBufferCount() override;
    std::string input() override;
    void waitForInput(int msecs) override;
    // With RFC 2217, also asks the server to drop what it still holds from the board.
    void dropWaiting() override;

    // The socket while open, else -1 (always on Windows, where a socket is no descriptor).
    int descriptor() const override;
    // Not while the board's bytes fill the buffer: the socket would report readable at once,
    // every time, until someone takes them.
    bool wantsRead() const override { return m_state == LinkState::Open && !m_received.full(); }
    // Telnet answers, a purge, or the rest of a command the socket could not take yet.
    bool hasUnsent() const override { return m_state == LinkState::Open && !m_unsent.empty(); }
    // Takes what the socket holds now and sends what waits, without waiting.
    void service() override;

    // "rfc2217://lab7:4003"
    std::string name() const override { return m_address.url(); }
    // The numeric address connected to: "127.0.0.1:4003", "[::1]:4003".
    std::string device() const override { return m_peer; }
    // Lost: why, in one line ("the connection to 127.0.0.1:4003 was closed").
    std::string lossText() const override { return m_lossText; }
    // Lost because the server turned us away after all, before the board's first reply (its
    // words came late, through a tunnel); nothing we sent reached the board.
    std::optional<OpenRefusal> lateRefusal() const override { return m_lateRefusal; }
    std::optional<NetworkFacts> network() const override;

    const RemoteAddress &address() const { return m_address; }

private:
    using Clock = std::chrono::steady_clock;
    // A socket handle as the system has it: a descriptor, or a Winsock SOCKET.
    using Handle = std::intptr_t;
    static constexpr Handle NoSocket = -1;

    bool rfc2217() const { return m_address.protocol == RemoteAddress::Protocol::Rfc2217; }
    OpenRefusal refusal(OpenFailure failure) const;
    OpenRefusal interrupted() const;
    std::optional<OpenRefusal> openOnce();
    // Sets handshakeNs to the time the connection took to come about, one round trip.
    std::optional<OpenRefusal> connectSocket(std::int64_t *handshakeNs);
    // After connecting: negotiates (RFC 2217) or waits a moment for a server that turns
    // the connection away.
    std::optional<OpenRefusal> settle(std::int64_t handshakeNs, std::int64_t leftMs);
    // What the server's first words say, when they turn us away: busy, a telnet port reached
    // as raw, another service (only when it has closed the connection).
    std::optional<OpenRefusal> turnedAway(bool closed, bool beforeAnyCommand) const;
    // Raw, before the board's first reply: the server's first words say another client has
    // the board.
    std::optional<OpenRefusal> saysBusy() const;
    // Why the server's line settings are not confirmed; empty when they are (or raw).
    std::string settingsProblem() const;
    // Reads what the socket holds into m_received through the codec, up to its size and
    // ReadRoundLimit; false at the end of the stream or when the connection broke.
    bool readSome();
    // Takes what arrived and notices a loss or a late refusal, without waiting.
    void takeArrived();
    void acknowledgeAtOnce();
    std::string brokenText(int error) const;
    std::string stalledText() const;
    void markLost(const std::string &why);
    // Adds bytes to what waits to be sent.
    void queue(std::string_view bytes);
    void writeUnsent();

    RemoteAddress m_address;
    TelnetCodec m_codec;
    Handle m_socket = NoSocket;
    LinkState m_state = LinkState::Closed;
    ReceiveBuffer m_received;
    // Telnet answers and what the socket could not take yet, in order: they go from service(),
    // or ahead of the next command.
    std::string m_unsent;
    Clock::time_point m_unsentSince; // the socket last took bytes, while some wait
    // The first bytes of the connection, until the board's first reply is taken: a server
    // behind a tunnel says it is busy, or greets with telnet, only after we have begun.
    std::string m_firstWords;
    bool m_replied = false;
    bool m_commanded = false; // bytes taken before the first command answer nothing
    int m_readError = 0;      // why readSome() last found the connection ended: 0 for closed
    bool m_purgeSent = false; // since the last command: one purge drops all there is
    int m_roundTripMs = 0;
    std::string m_peer;
    std::string m_lossText;
    std::optional<OpenRefusal> m_lateRefusal;
};
