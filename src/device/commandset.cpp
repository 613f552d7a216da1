// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commandset.h"

#include "seriallink.h"
#include "valuerules.h"

#include <algorithm>

namespace {

using Clock = std::chrono::steady_clock; // monotonic: immune to midnight and clock changes

std::int64_t nsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

} // namespace

std::string CommandSet::setDirectionCommand(Port port, double value)
{
    const auto byte = valueByte(value);
    if (!byte)
        return {};
    return {'!', portLetter(port), char(*byte)};
}

std::string CommandSet::writePortCommand(Port port, double value)
{
    const auto byte = valueByte(value);
    if (!byte)
        return {};
    return {portLetter(port), char(*byte)};
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

SendOutcome CommandSet::sendBytes(const std::string &command)
{
    if (command.empty())
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

    if (!m_link.output(std::string_view(ReadPortsCommand, sizeof ReadPortsCommand - 1)))
        return failed();

    const Clock::time_point start = Clock::now();
    const std::int64_t deadlineNs = std::int64_t(replyDeadlineMs()) * 1000 * 1000;
    std::size_t waiting = 0;
    for (;;) {
        // Blocks on the port, so the wait costs no CPU and runs no other event; it returns
        // at once when bytes are there, so the count after it is always a fresh one.
        if (const std::int64_t leftNs = deadlineNs - nsSince(start); leftNs > 0)
            m_link.waitForInput(int((leftNs + 999999) / 1000000));
        waiting = m_link.inBufferCount();
        if (!m_link.isOpen() || waiting == 3 || nsSince(start) >= deadlineNs)
            break;
    }

    if (!m_link.isOpen())
        return {Kind::PortLost};
    if (waiting != 3) {
        m_lateReplyPossible = true;
        m_timedOutAt = Clock::now();
        return {Kind::Timeout, {}, waiting};
    }
    const std::string reply = m_link.input();
    if (!m_link.isOpen())
        return {Kind::PortLost};
    if (reply.size() < 3)
        return {Kind::Timeout, {}, reply.size()};
    m_lateReplyPossible = false;
    return {Kind::Inputs, {std::uint8_t(reply[0]), std::uint8_t(reply[1]), std::uint8_t(reply[2])}};
}

bool CommandSet::waitOutLateReply()
{
    const std::int64_t quietNs = std::int64_t(LateReplyQuietMs + m_transitMs) * 1000 * 1000;
    const std::int64_t limitNs = std::int64_t(LateReplyWaitLimitMs + m_transitMs) * 1000 * 1000;
    constexpr std::int64_t checkNs = 100 * 1000 * 1000; // how often to ask whether to stop
    const Clock::time_point start = Clock::now();
    // Quiet since the timeout, as far as can be told: what waits now may have come any time
    // since, and so counts as having come just now.
    std::int64_t lastByteNs = -nsSince(m_timedOutAt);
    for (;;) {
        if (m_link.inBufferCount() > 0) {
            m_link.input();
            lastByteNs = nsSince(start);
        }
        if (!m_link.isOpen())
            return false;
        const std::int64_t nowNs = nsSince(start);
        if (nowNs - lastByteNs >= quietNs || nowNs >= limitNs)
            return true;
        if (m_link.interruptRequested())
            return false;
        const std::int64_t waitNs =
            std::min({lastByteNs + quietNs - nowNs, limitNs - nowNs, checkNs});
        m_link.waitForInput(int((waitNs + 999999) / 1000000));
    }
}
