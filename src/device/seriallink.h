// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portaccess.h"

#include <QByteArray>
#include <QObject>

#include <optional>

// Where the link stands. Lost: the open port broke (device gone, I/O error); it stays so,
// writing and reading nothing, until its owner closes it.
enum class LinkState { Closed, Open, Lost };

// The handful of serial-port operations the program uses, and nothing more. The board
// commands and the connection logic are written against this interface only. No call but
// close() ever closes the port.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Port number used by the next open; ignored while the port is open.
    virtual void setCommPort(int number) = 0;
    virtual int commPort() const = 0;

    // Opens the port the number names, with the fixed line settings, writing nothing.
    // Returns why it could not, or nothing once it is open. An open port is closed first.
    virtual std::optional<OpenRefusal> open() = 0;
    // Closes the port; closing a closed port does nothing.
    virtual void close() = 0;
    virtual LinkState state() const = 0;
    bool isOpen() const { return state() == LinkState::Open; }

    // Writes the bytes with one write, without waiting for them to leave. False when the
    // port is not open or broke.
    virtual bool output(const QByteArray &bytes) = 0;

    // Received bytes waiting to be taken, counting those still held by the system.
    virtual qsizetype inBufferCount() = 0;

    // Takes every waiting byte, oldest first.
    virtual QByteArray input() = 0;

    // Blocks the calling thread, without running any event, until more bytes may have
    // arrived or msecs have passed.
    virtual void waitForInput(int msecs) = 0;

signals:
    // The open port broke. Emitted from the event loop, also when nobody was using the
    // port; a loss its owner has already dealt with (closed) is not reported again.
    void lost();
};
