// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "remoteaddress.h"
#include "seriallink.h"
#include "telnetcodec.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

// SerialLink over a TCP connection to a serial server (ser2net): raw, or RFC 2217. The
// server owns the line; with RFC 2217 it is asked for 9600 8N1 without flow control, and
// the link counts as open once it has confirmed that. A server that turns the connection
// away (its port is taken) closes it at once, so open() waits a moment for that before it
// says the link is open. Commands and replies go straight through the socket, with the same
// waits and bounds as QtSerialLink.
class SocketLink : public SerialLink
{
    Q_OBJECT

public:
    static constexpr int ConnectTimeoutMs = 3000;     // connect, and the negotiation after it
    static constexpr qint64 ReceiveBufferSize = 1024; // same bound as QtSerialLink
    // What one look at the socket takes at most: a server that floods must not keep a caller
    // from its deadline.
    static constexpr qint64 ReadRoundLimit = 64 * 1024;
    // A server that has taken nothing of what waits for this long, or lets this much pile up,
    // is not reading: the link counts as lost.
    static constexpr int BackPressureMs = 5000;
    static constexpr qint64 UnsentLimit = 64 * 1024;

    explicit SocketLink(const RemoteAddress &address, QObject *parent = nullptr);
    ~SocketLink() override;

    void setCommPort(int) override {}
    int commPort() const override { return 0; }
    std::optional<OpenRefusal> open() override;
    void close() override;
    LinkState state() const override { return m_state; }
    bool output(const QByteArray &bytes) override;
    qsizetype inBufferCount() override;
    QByteArray input() override;
    void waitForInput(int msecs) override;
    // With RFC 2217, also asks the server to drop what it still holds from the board.
    void dropWaiting() override;

    const RemoteAddress &address() const { return m_address; }
    // The numeric address connected to: "127.0.0.1:4003", "[::1]:4003".
    QString peer() const { return m_peer; }
    // The socket while open, else -1: to poll beside other descriptors.
    int descriptor() const { return m_state == LinkState::Open ? m_fd : -1; }
    // Takes what the socket holds now, without waiting (for a caller that polled
    // descriptor()).
    void takeArrived();

    // The time a message to the server and back took while opening, in milliseconds,
    // rounded up: what a reply's deadline has to allow on top of the board's own.
    int roundTripMs() const { return m_roundTripMs; }
    // RFC 2217: whether the server confirmed the line settings asked for. It may refuse the
    // com-port option and keep its own, or answer with other values.
    bool settingsConfirmed() const { return rfc2217() && settingsProblem().isEmpty(); }
    // Why they are not, for people; empty when they are (or the link is raw).
    QString settingsProblem() const;
    // Lost: why, in one line ("the connection to 127.0.0.1:4003 was closed").
    QString lossText() const { return m_lossText; }
    // Lost because the server turned us away after all, before the board's first reply (its
    // words came late, through a tunnel); nothing we sent reached the board.
    const std::optional<OpenRefusal> &lateRefusal() const { return m_lateRefusal; }

private:
    bool rfc2217() const { return m_address.protocol == RemoteAddress::Protocol::Rfc2217; }
    OpenRefusal refusal(OpenFailure failure) const;
    std::optional<OpenRefusal> openOnce();
    // Sets handshakeNs to the time the connection took to come about, one round trip.
    std::optional<OpenRefusal> connectSocket(qint64 *handshakeNs);
    // After connecting: negotiates (RFC 2217) or waits a moment for a server that turns
    // the connection away.
    std::optional<OpenRefusal> settle(qint64 handshakeNs, qint64 leftMs);
    // What the server's first words say, when they turn us away: busy, a telnet port reached
    // as raw, another service (only when it has closed the connection).
    std::optional<OpenRefusal> turnedAway(bool closed, bool beforeAnyCommand) const;
    // Raw, before the board's first reply: the server's first words say another client has
    // the board.
    std::optional<OpenRefusal> saysBusy() const;
    // Reads what the socket holds into m_received through the codec, up to its size and
    // ReadRoundLimit; false at the end of the stream or when the connection broke.
    bool readSome();
    void acknowledgeAtOnce();
    void startWatching();
    QString brokenText(int error) const;
    QString stalledText() const;
    void markLost(const QString &why);
    // Adds bytes to what waits to be sent.
    void queue(const QByteArray &bytes);
    void writeUnsent();
    void onReadable();

    RemoteAddress m_address;
    TelnetCodec m_codec;
    int m_fd = -1;
    LinkState m_state = LinkState::Closed;
    QByteArray m_received; // the board's bytes, not yet taken by input()
    // Telnet answers and what the socket could not take yet, in order: they go from the event
    // loop, or ahead of the next command.
    QByteArray m_unsent;
    QElapsedTimer m_unsentSince; // the socket last took bytes, while some wait
    // The first bytes of the connection, until the board's first reply is taken: a server
    // behind a tunnel says it is busy, or greets with telnet, only after we have begun.
    QByteArray m_firstWords;
    bool m_replied = false;
    bool m_commanded = false; // bytes taken before the first command answer nothing
    int m_readError = 0;      // why readSome() last found the connection ended: 0 for closed
    QSocketNotifier *m_readable = nullptr;
    QSocketNotifier *m_writable = nullptr;
    quint64 m_generation = 0; // counts opens, so a late loss report never hits a new link
    bool m_purgeSent = false; // since the last command: one purge drops all there is
    int m_roundTripMs = 0;
    QString m_peer;
    QString m_lossText;
    std::optional<OpenRefusal> m_lateRefusal;
};
