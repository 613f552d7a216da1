// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "seriallink.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <functional>

// SerialLink over QSerialPort: 9600 baud, 8 data bits, no parity, one stop bit, no flow
// control, raw bytes, a 1024-byte receive buffer. Before the port is opened, everything
// that is not ours to use is refused (PortClaim), and the claim is held until it is closed;
// the device is opened, and locked, under the name it resolves to, so two names of one
// device share one lock. QSerialPort opens, sets up, locks and closes the port and watches it
// from the event loop; commands and replies go straight through its descriptor, so that a
// full transmit buffer is waited out rather than taken for a broken port, and an exchange
// costs no more system calls than it needs.
class QtSerialLink : public SerialLink
{
    Q_OBJECT

public:
    using PortNamer = std::function<QString(int)>;

    static constexpr qint64 ReceiveBufferSize = 1024;

    // namer turns a port number into the system device to open; the default follows
    // systemPortName() under /dev.
    explicit QtSerialLink(QObject *parent = nullptr, PortNamer namer = {});
    ~QtSerialLink() override;

    void setCommPort(int number) override;
    int commPort() const override { return m_commPort; }
    std::optional<OpenRefusal> open() override;
    void close() override;
    LinkState state() const override { return m_state; }
    bool output(const QByteArray &bytes) override;
    qsizetype inBufferCount() override;
    QByteArray input() override;
    void waitForInput(int msecs) override;

    // The name the last open used (or tried to use), as the namer gave it.
    QString systemLocation() const { return m_location; }
    // The device that name resolved to, once opened.
    QString device() const { return m_device; }

private:
    void onErrorOccurred(QSerialPort::SerialPortError error);
    void markLost();
    std::optional<OpenRefusal> refusalAfterFailedOpen() const;
    // Moves what the serial layer and then the system hold into m_received, up to its size.
    void takeWaiting();
    // Hands the system as much of m_unsent as it takes now, without waiting.
    void writeUnsent();

    QSerialPort *m_port;
    std::optional<PortClaim> m_claim;
    QByteArray m_received; // taken from the system, not yet by input()
    // Without an interrupt check (the window) nothing waits for the board: what the system
    // cannot take yet is kept here, in order, and goes from the event loop.
    QByteArray m_unsent;
    QSocketNotifier *m_writable = nullptr;
    PortNamer m_namer;
    int m_commPort = 1;
    LinkState m_state = LinkState::Closed;
    quint64 m_generation = 0; // counts opens, so a late loss report never hits a new port
    bool m_closing = false;
    QString m_location;
    QString m_device;
};
