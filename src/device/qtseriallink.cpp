// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "qtseriallink.h"

#include "portname.h"

#include <QScopedValueRollback>
#include <QThread>

#include <variant>

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
    if (m_state == LinkState::Closed)
        m_commPort = number;
}

std::optional<OpenRefusal> QtSerialLink::open()
{
    close();
    m_location = m_namer(m_commPort);
    m_device.clear();
    if (m_location.isEmpty()) {
        OpenRefusal refusal;
        refusal.failure = OpenFailure::NoSuchDevice;
        refusal.path = QStringLiteral("port %1").arg(m_commPort);
        return refusal;
    }

    auto claimed = PortClaim::claim(m_location);
    if (auto *refusal = std::get_if<OpenRefusal>(&claimed))
        return *refusal;
    PortClaim &claim = std::get<PortClaim>(claimed);

    m_port->setPortName(claim.device());
    const bool opened = m_port->open(QIODevice::ReadWrite);
    // Our probe descriptor stays open until QSerialPort holds its own, so the device never
    // sees a last close (which drops DTR on a real board) between the checks and the open.
    std::optional<OpenRefusal> refusal;
    if (!opened)
        refusal = refusalAfterFailedOpen();
    m_port->clearError();
    claim.release();
    if (refusal)
        return refusal;

    m_device = claim.device();
    m_state = LinkState::Open;
    ++m_generation;
    return std::nullopt;
}

std::optional<OpenRefusal> QtSerialLink::refusalAfterFailedOpen() const
{
    // Someone may have taken the port since the checks; they name the holder.
    if (auto holder = checkWithoutOpening(m_location);
        holder && holder->failure == OpenFailure::InUse)
        return holder;

    OpenRefusal refusal;
    refusal.path = m_location;
    refusal.device = m_port->portName();
    refusal.systemText = m_port->errorString();
    switch (m_port->error()) {
    case QSerialPort::DeviceNotFoundError:
        refusal.failure = OpenFailure::NoSuchDevice;
        break;
    case QSerialPort::PermissionError:
        refusal.failure = OpenFailure::PermissionDenied;
        break;
    default:
        refusal.failure = OpenFailure::Other;
        break;
    }
    return refusal;
}

void QtSerialLink::close()
{
    QScopedValueRollback closing(m_closing, true);
    // QSerialPort::close() puts back the line settings it found, clears the exclusive mode it
    // set and removes its lock.
    if (m_port->isOpen())
        m_port->close();
    m_port->clearError();
    m_state = LinkState::Closed;
}

bool QtSerialLink::output(const QByteArray &bytes)
{
    if (m_state != LinkState::Open)
        return false;
    const qint64 queued = m_port->write(bytes);
    // QSerialPort would otherwise write from the event loop; hand each command to the
    // system now, in one write, so commands leave in the order and form they were sent.
    m_port->flush();
    return m_state == LinkState::Open && queued == bytes.size();
}

qsizetype QtSerialLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    // bytesAvailable() only counts what QSerialPort has already taken from the system,
    // which happens in the event loop; bring in what is waiting first.
    while (m_port->bytesAvailable() < ReceiveBufferSize && m_port->waitForReadyRead(0)) {
    }
    if (m_state != LinkState::Open)
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
    if (m_state != LinkState::Open || msecs <= 0)
        return;
    if (m_port->bytesAvailable() >= ReceiveBufferSize) {
        // Nothing more is read until someone takes bytes: the port would report readable
        // at once, every time. Wait without polling it.
        QThread::msleep(ulong(msecs));
        return;
    }
    m_port->waitForReadyRead(msecs);
}

void QtSerialLink::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A wait that runs out reports TimeoutError; that is not a fault of the port.
    if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError)
        return;
    if (m_closing || !m_port->isOpen())
        return;
    // Any other error while open means the device is gone or unusable (a hung-up tty
    // reads 0 bytes and leaves a stale errno behind, so the code itself says little).
    markLost();
}

void QtSerialLink::markLost()
{
    if (m_state != LinkState::Open)
        return;
    m_state = LinkState::Lost;
    // Reported from the event loop, never from inside QSerialPort or a query, and only if
    // nobody has closed the port since.
    QMetaObject::invokeMethod(
        this,
        [this, generation = m_generation] {
            if (m_state == LinkState::Lost && m_generation == generation)
                emit lost();
        },
        Qt::QueuedConnection);
}
