#pragma once

#include "seriallink.h"

#include <QSerialPort>

#include <functional>

// SerialLink over QSerialPort: 9600 baud, 8 data bits, no parity, one stop bit, no flow
// control, raw bytes, a 1024-byte receive buffer.
class QtSerialLink : public SerialLink
{
    Q_OBJECT

public:
    using PortNamer = std::function<QString(int)>;

    static constexpr qint64 ReceiveBufferSize = 1024;

    // namer turns a port number into the system device to open; the default follows
    // systemPortName() under /dev.
    explicit QtSerialLink(QObject *parent = nullptr, PortNamer namer = {});

    void setCommPort(int number) override;
    int commPort() const override { return m_commPort; }
    bool setPortOpen(bool open) override;
    bool portOpen() const override { return m_port->isOpen(); }
    bool output(const QByteArray &bytes) override;
    qsizetype inBufferCount() override;
    QByteArray input() override;
    void waitForInput(int msecs) override;

    // The device the last open used (or tried to use).
    QString systemLocation() const { return m_port->portName(); }

private:
    void onErrorOccurred(QSerialPort::SerialPortError error);
    bool closeIfBroken();
    void closePort();

    QSerialPort *m_port;
    PortNamer m_namer;
    int m_commPort = 1;
    bool m_broken = false;
    bool m_closing = false;
};
