// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commandset.h"

#include "ports/valueformats.h"
#include "seriallink.h"

#include <QElapsedTimer>

#include <cmath>

namespace {

std::optional<char> valueByte(double value)
{
    // Checked before rounding: RoundHalfEven saturates far outside the byte range.
    if (!(value >= -0.5 && value <= 255.5))
        return std::nullopt;
    const qint32 rounded = RoundHalfEven(value);
    if (rounded < 0 || rounded > 255)
        return std::nullopt;
    return char(rounded);
}

} // namespace

QByteArray CommandSet::setDirectionCommand(Port port, double value)
{
    const auto byte = valueByte(value);
    if (!byte)
        return {};
    const char bytes[] = {'!', portLetter(port), *byte};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray CommandSet::writePortCommand(Port port, double value)
{
    const auto byte = valueByte(value);
    if (!byte)
        return {};
    const char bytes[] = {portLetter(port), *byte};
    return QByteArray(bytes, sizeof bytes);
}

SendOutcome CommandSet::sendSetDirection(Port port, double value)
{
    return send(setDirectionCommand(port, value));
}

SendOutcome CommandSet::sendWritePort(Port port, double value)
{
    return send(writePortCommand(port, value));
}

SendOutcome CommandSet::send(const QByteArray &command)
{
    if (command.isEmpty())
        return SendOutcome::Refused;
    return m_link.output(command) ? SendOutcome::Sent : failure();
}

SendOutcome CommandSet::failure() const
{
    return m_link.state() == LinkState::Closed ? SendOutcome::NotOpen : SendOutcome::PortLost;
}

ReadPortsOutcome CommandSet::readPorts()
{
    using Kind = ReadPortsOutcome::Kind;
    if (m_link.state() != LinkState::Open)
        return {Kind::PortLost};

    // Bytes waiting now answer no command of ours (a reply that came too late, noise).
    // Left in place they would shift every later reading, or, past three, make every
    // later exchange time out. A flood can refill the buffer forever, so stop after a
    // bounded number of rounds; the exchange then times out honestly.
    for (int round = 0; round < 64 && m_link.inBufferCount() > 0; ++round)
        m_link.input();

    if (!m_link.output(QByteArray(ReadPortsCommand)))
        return {Kind::PortLost};

    QElapsedTimer clock; // monotonic: immune to midnight and clock changes
    clock.start();
    constexpr qint64 deadlineNs = qint64(ReplyDeadlineMs) * 1000 * 1000;
    qsizetype waiting = m_link.inBufferCount();
    while (m_link.isOpen() && waiting != 3) {
        const qint64 leftNs = deadlineNs - clock.nsecsElapsed();
        if (leftNs <= 0)
            break;
        // Blocks on the port, so the wait costs no CPU and runs no other event.
        m_link.waitForInput(int((leftNs + 999999) / 1000000));
        waiting = m_link.inBufferCount();
    }

    if (!m_link.isOpen())
        return {Kind::PortLost};
    waiting = m_link.inBufferCount();
    if (waiting != 3)
        return {Kind::Timeout, {}, waiting};
    const QByteArray reply = m_link.input();
    if (!m_link.isOpen())
        return {Kind::PortLost};
    if (reply.size() < 3)
        return {Kind::Timeout, {}, reply.size()};
    return {Kind::Inputs, {quint8(reply[0]), quint8(reply[1]), quint8(reply[2])}};
}
