// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commandset.h"

#include "ports/valueformats.h"
#include "seriallink.h"

#include <QElapsedTimer>

#include <algorithm>
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
    return sendBytes(setDirectionCommand(port, value));
}

SendOutcome CommandSet::sendWritePort(Port port, double value)
{
    return sendBytes(writePortCommand(port, value));
}

SendOutcome CommandSet::send(const PortCommand &command)
{
    return command.kind == PortCommand::Kind::SetDirection
               ? sendSetDirection(command.port, command.value)
               : sendWritePort(command.port, command.value);
}

SendOutcome CommandSet::sendBytes(const QByteArray &command)
{
    if (command.isEmpty())
        return SendOutcome::Refused;
    return m_link.output(command) ? SendOutcome::Sent : failure();
}

SendOutcome CommandSet::failure() const
{
    switch (m_link.state()) {
    case LinkState::Closed:
        return SendOutcome::NotOpen;
    case LinkState::Open: // a failed output leaves the port open only when it was interrupted
        return SendOutcome::Interrupted;
    case LinkState::Lost:
        break;
    }
    return SendOutcome::PortLost;
}

ReadPortsOutcome CommandSet::readPorts()
{
    using Kind = ReadPortsOutcome::Kind;
    const auto failed = [this] {
        return ReadPortsOutcome{m_link.isOpen() ? Kind::Interrupted : Kind::PortLost};
    };
    if (m_link.state() != LinkState::Open)
        return {Kind::PortLost};
    if (m_waitOutLateReplies && m_lateReplyPossible && !waitOutLateReply())
        return failed();

    // Bytes waiting now answer no command of ours (a reply that came too late, noise).
    // Left in place they would shift every later reading, or, past three, make every
    // later exchange time out. A flood can refill the buffer forever, so stop after a
    // bounded number of rounds; the exchange then times out honestly.
    for (int round = 0; round < 64 && m_link.inBufferCount() > 0; ++round)
        m_link.dropWaiting();

    if (!m_link.output(QByteArray::fromRawData(ReadPortsCommand, sizeof ReadPortsCommand - 1)))
        return failed();

    QElapsedTimer clock; // monotonic: immune to midnight and clock changes
    clock.start();
    const qint64 deadlineNs = qint64(replyDeadlineMs()) * 1000 * 1000;
    qsizetype waiting = 0;
    for (;;) {
        // Blocks on the port, so the wait costs no CPU and runs no other event; it returns
        // at once when bytes are there, so the count after it is always a fresh one.
        if (const qint64 leftNs = deadlineNs - clock.nsecsElapsed(); leftNs > 0)
            m_link.waitForInput(int((leftNs + 999999) / 1000000));
        waiting = m_link.inBufferCount();
        if (!m_link.isOpen() || waiting == 3 || clock.nsecsElapsed() >= deadlineNs)
            break;
    }

    if (!m_link.isOpen())
        return {Kind::PortLost};
    if (waiting != 3) {
        m_lateReplyPossible = true;
        m_sinceTimeout.start();
        return {Kind::Timeout, {}, waiting};
    }
    const QByteArray reply = m_link.input();
    if (!m_link.isOpen())
        return {Kind::PortLost};
    if (reply.size() < 3)
        return {Kind::Timeout, {}, reply.size()};
    m_lateReplyPossible = false;
    return {Kind::Inputs, {quint8(reply[0]), quint8(reply[1]), quint8(reply[2])}};
}

bool CommandSet::waitOutLateReply()
{
    const qint64 quietNs = qint64(LateReplyQuietMs + m_transitMs) * 1000 * 1000;
    const qint64 limitNs = qint64(LateReplyWaitLimitMs + m_transitMs) * 1000 * 1000;
    constexpr qint64 checkNs = 100 * 1000 * 1000; // how often to ask whether to stop
    QElapsedTimer clock;
    clock.start();
    // Quiet since the timeout, as far as can be told: what waits now may have come any time
    // since, and so counts as having come just now.
    qint64 lastByteNs = -m_sinceTimeout.nsecsElapsed();
    for (;;) {
        if (m_link.inBufferCount() > 0) {
            m_link.input();
            lastByteNs = clock.nsecsElapsed();
        }
        if (!m_link.isOpen())
            return false;
        const qint64 nowNs = clock.nsecsElapsed();
        if (nowNs - lastByteNs >= quietNs || nowNs >= limitNs)
            return true;
        if (m_link.interruptRequested())
            return false;
        const qint64 waitNs = std::min({lastByteNs + quietNs - nowNs, limitNs - nowNs, checkNs});
        m_link.waitForInput(int((waitNs + 999999) / 1000000));
    }
}
