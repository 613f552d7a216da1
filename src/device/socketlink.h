// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "remoteaddress.h"
#include "seriallink.h"
#include "telnetcodec.h"

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

private:
    bool rfc2217() const { return m_address.protocol == RemoteAddress::Protocol::Rfc2217; }
    OpenRefusal refusal(OpenFailure failure) const;
    std::optional<OpenRefusal> openOnce();
    // Sets handshakeMs to the time the connection took to come about, one round trip.
    std::optional<OpenRefusal> connectSocket(qint64 *handshakeMs);
    // After connecting: negotiates (RFC 2217) or waits a moment for a server that turns
    // the connection away.
    std::optional<OpenRefusal> settle(qint64 handshakeMs, qint64 leftMs);
    // Reads what the socket holds into m_received through the codec, up to its size; false
    // at the end of the stream or when the connection broke.
    bool readSome();
    void acknowledgeAtOnce();
    void startWatching();
    void markLost();
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
    QSocketNotifier *m_readable = nullptr;
    QSocketNotifier *m_writable = nullptr;
    quint64 m_generation = 0; // counts opens, so a late loss report never hits a new link
    bool m_purgeSent = false; // since the last command: one purge drops all there is
    QString m_peer;
};
