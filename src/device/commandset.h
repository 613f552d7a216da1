// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "port.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

class SerialLink;

// What became of a command handed to the link.
enum class SendOutcome {
    Sent,
    Refused,    // the value does not round (halves to even) to 0..255: nothing was written
    NotOpen,    // the link was not open: nothing was written
    PortLost,   // the port broke while writing, or had broken before
    Interrupted // the link's interrupt check ended a wait for room: the command did not go
                // (see SerialLink::output())
};

// The three inputs (A, B, C) of a read-ports exchange, a timeout, or a lost port.
struct ReadPortsOutcome
{
    // Interrupted: the link's interrupt check ended a wait before "abc" was written.
    enum class Kind { Inputs, Timeout, PortLost, Interrupted };
    using PortInputs = std::array<std::uint8_t, 3>;

    Kind kind = Kind::Timeout;
    PortInputs inputs{};     // Inputs only
    std::size_t waiting = 0; // Timeout only: bytes waiting at the deadline

    bool answered() const { return kind == Kind::Inputs; }
    std::uint8_t input(Port port) const { return inputs[portIndex(port)]; }
};

// A set-direction or write-port command as data.
struct PortCommand
{
    enum class Kind { SetDirection, WritePort };

    Kind kind;
    Port port;
    std::uint8_t value;
};

// The board's three commands, byte for byte:
//   set-direction  '!' letter value   (bit 1 = input, 0 = output)
//   write-port     letter value
//   read-ports     "abc", answered by three bytes: the inputs of A, B and C.
class CommandSet
{
public:
    static constexpr int ReplyDeadlineMs = 400;
    static constexpr char ReadPortsCommand[] = "abc";

    using PortInputs = ReadPortsOutcome::PortInputs;

    // The board's reset state, loaded in this order: every line an input, then every output 0.
    static constexpr std::array<PortCommand, 6> ResetSequence{{
        {PortCommand::Kind::SetDirection, Port::A, 0xFF},
        {PortCommand::Kind::SetDirection, Port::B, 0xFF},
        {PortCommand::Kind::SetDirection, Port::C, 0xFF},
        {PortCommand::Kind::WritePort, Port::A, 0},
        {PortCommand::Kind::WritePort, Port::B, 0},
        {PortCommand::Kind::WritePort, Port::C, 0},
    }};

    // After a timeout, the line counts as quiet once no byte has come for this long: a reply
    // that was late by up to one more deadline is waited out and dropped.
    static constexpr int LateReplyQuietMs = ReplyDeadlineMs;
    // The wait for a quiet line gives up after this long (a line that never goes quiet).
    static constexpr int LateReplyWaitLimitMs = 5 * ReplyDeadlineMs;

    explicit CommandSet(SerialLink &link) : m_link(link) {}

    // Off (the window's timing): the exchange after a timeout starts at once, and a reply
    // that comes after its deadline may be taken as the answer to the next request. On: that
    // exchange first waits for the line to be quiet (LateReplyQuietMs, at most
    // LateReplyWaitLimitMs) and drops whatever came.
    void setWaitOutLateReplies(bool on) { m_waitOutLateReplies = on; }

    // Time on top of ReplyDeadlineMs for a reply to come back over a network: the board's
    // deadline counts from when the command can have reached it. 0 (the window's timing) by
    // default.
    void setTransitAllowanceMs(int ms) { m_transitMs = std::max(0, ms); }
    int transitAllowanceMs() const { return m_transitMs; }
    int replyDeadlineMs() const { return ReplyDeadlineMs + m_transitMs; }

    // Build a command, or return an empty string when the value does not round (halves to
    // even) to 0..255.
    static std::string setDirectionCommand(Port port, double value);
    static std::string writePortCommand(Port port, double value);

    // Each writes one command with one write; nothing is written for a refused value.
    SendOutcome sendSetDirection(Port port, double value);
    SendOutcome sendWritePort(Port port, double value);
    SendOutcome send(const PortCommand &command);

    // The read-ports exchange: drops whatever is already waiting, writes "abc" and waits
    // until exactly three bytes wait, at most ReplyDeadlineMs.
    ReadPortsOutcome readPorts();

private:
    SendOutcome sendBytes(const std::string &command);
    SendOutcome failure() const;
    // Drops what comes until the line has been quiet for LateReplyQuietMs since the last
    // timeout; false when the port broke or the link's interrupt check said to stop.
    bool waitOutLateReply();

    SerialLink &m_link;
    bool m_waitOutLateReplies = false;
    int m_transitMs = 0;
    bool m_lateReplyPossible = false;
    std::chrono::steady_clock::time_point m_timedOutAt;
};
