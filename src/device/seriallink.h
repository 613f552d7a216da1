// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portaccess.h"

#include <QByteArray>
#include <QObject>

#include <functional>
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

    // Writes the bytes with one write, without waiting for them to leave. While the system
    // cannot take them (its transmit buffer is full: a slow line, a board that does not read)
    // it waits, and a write the system took only in part goes on with the rest. False when the
    // port is not open or broke, or when the interrupt check ended the wait: the port then
    // stays open, and none of the bytes went (or, where the system took some and then nothing
    // more for a second, those).
    virtual bool output(const QByteArray &bytes) = 0;

    // Asked at least every 100 ms while output() waits for the system; true gives up the
    // wait. None by default: the wait lasts until the bytes go or the port breaks.
    void setInterruptCheck(std::function<bool()> check) { m_interruptCheck = std::move(check); }
    bool interruptRequested() const { return m_interruptCheck && m_interruptCheck(); }
    bool hasInterruptCheck() const { return bool(m_interruptCheck); }

    // Received bytes waiting to be taken, counting those still held by the system.
    virtual qsizetype inBufferCount() = 0;

    // Takes the waiting bytes, oldest first: all that inBufferCount() counted, or when it
    // counted none (or was not asked), all there are now.
    virtual QByteArray input() = 0;

    // Blocks the calling thread, without running any event, until more bytes may have
    // arrived or msecs have passed.
    virtual void waitForInput(int msecs) = 0;

    // Drops the waiting bytes: all that inBufferCount() counted, or when it counted none, all
    // there are now. A link may also have the far end drop what it still holds.
    virtual void dropWaiting() { input(); }

protected:
    // How often a wait for the system asks the interrupt check.
    static constexpr int InterruptCheckMs = 100;
    // Once part of a command has gone, the rest may not be given up for this long: a line that
    // moves at all takes the last byte or two of a command in a few milliseconds, and a board
    // that read half a command would read the next one askew.
    static constexpr int CommandRestMs = 1000;

    // Hands the descriptor as much of unsent as it takes now, without waiting, and removes
    // that from unsent; false when the descriptor broke. A socket never raises SIGPIPE.
    static bool writeWithoutWaiting(int fd, QByteArray &unsent, bool socket);

    enum class WriteWait { Writable, Interrupted, Broken, Stalled };
    // Waits until the descriptor takes more bytes, asking the interrupt check every
    // InterruptCheckMs (once part of a command went, only after CommandRestMs); Stalled once
    // giveUpMs have passed, when that is set.
    WriteWait waitUntilWritable(int fd, bool partlySent, int giveUpMs = -1) const;
    // Emits lost() from the event loop, never from inside a query, when stillLost() then
    // says the loss is still news (nobody has closed or reopened the link since).
    void reportLostLater(std::function<bool()> stillLost);

signals:
    // The open port broke. Emitted from the event loop, also when nobody was using the
    // port; a loss its owner has already dealt with (closed) is not reported again.
    void lost();

private:
    std::function<bool()> m_interruptCheck;
};
