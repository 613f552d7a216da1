#include "qtseriallink.h"

#include "portname.h"

#include <QScopedValueRollback>
#include <QThread>

QtSerialLink::QtSerialLink(QObject *parent, PortNamer namer)
    : SerialLink(parent), m_port(new QSerialPort(this)), m_namer(std::move(namer))
{
    if (!m_namer)
        m_namer = [](int number) { return systemPortName(number); };

    // Applied by every open.
    m_port->setBaudRate(QSerialPort::Baud9600);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    m_port->setReadBufferSize(ReceiveBufferSize);

    connect(m_port, &QSerialPort::errorOccurred, this, &QtSerialLink::onErrorOccurred);
}

void QtSerialLink::setCommPort(int number)
{
    if (!m_port->isOpen())
        m_commPort = number;
}

bool QtSerialLink::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        return true;
    }
    if (m_port->isOpen())
        return true;

    const QString location = m_namer(m_commPort);
    if (location.isEmpty())
        return false;
    m_port->setPortName(location);
    m_broken = false;
    const bool opened = m_port->open(QIODevice::ReadWrite);
    m_port->clearError();
    m_broken = false;
    return opened;
}

bool QtSerialLink::output(const QByteArray &bytes)
{
    if (!m_port->isOpen())
        return false;
    const qint64 queued = m_port->write(bytes);
    // QSerialPort would otherwise write from the event loop; hand each command to the
    // system now, in one write, so commands leave in the order and form they were sent.
    m_port->flush();
    return !closeIfBroken() && queued == bytes.size();
}

qsizetype QtSerialLink::inBufferCount()
{
    if (!m_port->isOpen())
        return 0;
    // bytesAvailable() only counts what QSerialPort has already taken from the system,
    // which happens in the event loop; bring in what is waiting first.
    while (m_port->bytesAvailable() < ReceiveBufferSize && m_port->waitForReadyRead(0)) {
    }
    if (closeIfBroken())
        return 0;
    return qsizetype(m_port->bytesAvailable());
}

QByteArray QtSerialLink::input()
{
    if (inBufferCount() == 0)
        return {};
    return m_port->readAll();
}

void QtSerialLink::waitForInput(int msecs)
{
    if (!m_port->isOpen() || msecs <= 0)
        return;
    if (m_port->bytesAvailable() >= ReceiveBufferSize) {
        // Nothing more is read until someone takes bytes: the port would report readable
        // at once, every time. Wait without polling it.
        QThread::msleep(ulong(msecs));
        return;
    }
    m_port->waitForReadyRead(msecs);
    closeIfBroken();
}

void QtSerialLink::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A wait that runs out reports TimeoutError; that is not a fault of the port.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (m_closing || m_broken || !m_port->isOpen())
        return;
    // Any other error while open means the device is gone or unusable (a hung-up tty
    // reads 0 bytes and leaves a stale errno behind, so the code itself says little).
    // Close it outside QSerialPort's own call stack.
    m_broken = true;
    QMetaObject::invokeMethod(
        this, [this] { closeIfBroken(); }, Qt::QueuedConnection);
}

bool QtSerialLink::closeIfBroken()
{
    if (!m_broken)
        return false;
    closePort();
    emit failed();
    return true;
}

void QtSerialLink::closePort()
{
    QScopedValueRollback closing(m_closing, true);
    if (m_port->isOpen())
        m_port->close();
    m_port->clearError();
    m_broken = false;
}
