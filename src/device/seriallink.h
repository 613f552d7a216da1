#pragma once

#include <QByteArray>
#include <QObject>

// The handful of serial-port operations the program uses, and nothing more. The board
// commands and the connection logic are written against this interface only.
class SerialLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Port number used by the next open; ignored while the port is open.
    virtual void setCommPort(int number) = 0;
    virtual int commPort() const = 0;

    // Opens (with the fixed line settings) or closes the port. Opening returns false
    // when the port cannot be opened; closing a closed port does nothing.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;

    // Writes the bytes with one write, without waiting for them to leave.
    virtual bool output(const QByteArray &bytes) = 0;

    // Received bytes waiting to be taken, counting those still held by the system.
    virtual qsizetype inBufferCount() = 0;

    // Takes every waiting byte, oldest first.
    virtual QByteArray input() = 0;

    // Blocks the calling thread, without running any event, until more bytes may have
    // arrived or msecs have passed.
    virtual void waitForInput(int msecs) = 0;

signals:
    // The open port broke (device gone, I/O error) and has been closed.
    void failed();
};
