// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "qtseriallink.h"

#include "portname.h"

#include <QElapsedTimer>
#include <QScopedValueRollback>
#include <QThread>

#include <array>
#include <utility>
#include <variant>

#ifdef Q_OS_UNIX
#include <cerrno>

#include <poll.h>
#include <unistd.h>
#endif

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

QtSerialLink::~QtSerialLink()
{
    // Before QSerialPort goes with the children: the claim must outlast its descriptor.
    close();
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
    // Held, and with it the device's lock, until QSerialPort has closed the port again.
    m_claim.emplace(std::move(std::get<PortClaim>(claimed)));

    m_port->setPortName(m_claim->device());
    if (!m_port->open(QIODevice::ReadWrite)) {
        // Our own claim would otherwise be the holder found.
        m_claim.reset();
        std::optional<OpenRefusal> refusal = refusalAfterFailedOpen();
        m_port->clearError();
        return refusal;
    }

#ifdef Q_OS_UNIX
    m_writable = new QSocketNotifier(m_port->handle(), QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, &QtSerialLink::writeUnsent);
#endif
    m_device = m_claim->device();
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

    // QSerialPort says so also when it could not make its lock file; the device itself opened
    // for the claim, so that is the likelier cause.
    if (m_port->error() == QSerialPort::PermissionError) {
        if (auto obstacle = lockFileObstacle(m_location))
            return obstacle;
    }

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
    // set and removes its lock; only then may another program claim the port.
    delete std::exchange(m_writable, nullptr);
    m_unsent.clear();
    if (m_port->isOpen())
        m_port->close();
    m_port->clearError();
    m_claim.reset();
    m_received.clear();
    m_state = LinkState::Closed;
}

#ifdef Q_OS_UNIX

bool QtSerialLink::output(const QByteArray &bytes)
{
    if (m_state != LinkState::Open)
        return false;
    if (!m_unsent.isEmpty()) {
        m_unsent += bytes;
        writeUnsent();
        return m_state == LinkState::Open;
    }
    const int fd = int(m_port->handle());
    const char *next = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, next, size_t(left));
        if (written > 0) {
            next += written;
            left -= written;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            markLost();
            return false;
        } else if (!hasInterruptCheck()) {
            m_unsent = QByteArray(next, left);
            m_writable->setEnabled(true);
            return true;
        } else if (const WriteWait wait = waitUntilWritable(fd, left < bytes.size());
                   wait != WriteWait::Writable) {
            if (wait == WriteWait::Broken)
                markLost();
            return false;
        }
    }
    return true;
}

void QtSerialLink::writeUnsent()
{
    if (m_state == LinkState::Open && !writeWithoutWaiting(int(m_port->handle()), m_unsent, false))
        markLost();
    if (m_writable)
        m_writable->setEnabled(m_state == LinkState::Open && !m_unsent.isEmpty());
}

void QtSerialLink::takeWaiting()
{
    qsizetype room = ReceiveBufferSize - m_received.size();
    // What QSerialPort read in the event loop is older than what the system still holds.
    if (room > 0 && m_port->bytesAvailable() > 0) {
        m_received += m_port->read(qMin<qint64>(room, m_port->bytesAvailable()));
        room = ReceiveBufferSize - m_received.size();
    }
    if (room <= 0)
        return;
    std::array<char, ReceiveBufferSize> buffer;
    ssize_t count;
    while ((count = ::read(int(m_port->handle()), buffer.data(), size_t(room))) < 0 &&
           errno == EINTR) {
    }
    if (count > 0)
        m_received.append(buffer.data(), count);
    else if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        markLost();
    // 0: nothing waits (the line is raw, with no minimum count), or the port hung up, which
    // the next wait or write tells.
}

qsizetype QtSerialLink::inBufferCount()
{
    if (m_state != LinkState::Open)
        return 0;
    takeWaiting();
    return m_state == LinkState::Open ? m_received.size() : 0;
}

QByteArray QtSerialLink::input()
{
    // Bytes counted already are taken without asking the system again: what it holds now came
    // after them, as if a moment after this call.
    if (m_state != LinkState::Open || (m_received.isEmpty() && inBufferCount() == 0))
        return {};
    return std::exchange(m_received, {});
}

void QtSerialLink::waitForInput(int msecs)
{
    if (m_state != LinkState::Open || msecs <= 0)
        return;
    if (m_received.size() >= ReceiveBufferSize) {
        // Nothing more is read until someone takes bytes: the port would report readable
        // at once, every time. Wait without polling it.
        QThread::msleep(ulong(msecs));
        return;
    }
    pollfd port{int(m_port->handle()), POLLIN, 0};
    int ready;
    while ((ready = ::poll(&port, 1, msecs)) < 0 && errno == EINTR) {
    }
    if (ready == 0)
        return;
    // Readable with nothing to read, or worse: the device hung up or went away.
    const qsizetype before = m_received.size();
    if (ready < 0 || (port.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        takeWaiting();
        if (m_received.size() == before)
            markLost();
    }
}

#else // QSerialPort's own I/O

bool QtSerialLink::output(const QByteArray &bytes)
{
    if (m_state != LinkState::Open)
        return false;
    const qint64 queued = m_port->write(bytes);
    // QSerialPort would otherwise write from the event loop; hand each command to the
    // system now, in one write, so commands leave in the order and form they were sent.
    m_port->flush();
    // Without an interrupt check, what is left goes from the event loop.
    while (hasInterruptCheck() && m_state == LinkState::Open && m_port->bytesToWrite() > 0) {
        if (interruptRequested())
            return false;
        m_port->waitForBytesWritten(InterruptCheckMs);
    }
    return m_state == LinkState::Open && queued == bytes.size();
}

void QtSerialLink::writeUnsent() {}

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

#endif

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
    reportLostLater([this, generation = m_generation] {
        return m_state == LinkState::Lost && m_generation == generation;
    });
}
