// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "port.h"

#include <QByteArray>

#include <array>

class SerialLink;

// What became of a command handed to the link.
enum class SendOutcome {
    Sent,
    Refused, // the value does not round (halves to even) to 0..255: nothing was written
    NotOpen, // the link was not open: nothing was written
    PortLost // the port broke while writing, or had broken before
};

// The three inputs (A, B, C) of a read-ports exchange, a timeout, or a lost port.
struct ReadPortsOutcome
{
    enum class Kind { Inputs, Timeout, PortLost };
    using PortInputs = std::array<quint8, 3>;

    Kind kind = Kind::Timeout;
    PortInputs inputs{};   // Inputs only
    qsizetype waiting = 0; // Timeout only: bytes waiting at the deadline

    bool answered() const { return kind == Kind::Inputs; }
    quint8 input(Port port) const { return inputs[portIndex(port)]; }
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

    explicit CommandSet(SerialLink &link) : m_link(link) {}

    // Build a command, or return an empty array when the value does not round (halves to
    // even) to 0..255.
    static QByteArray setDirectionCommand(Port port, double value);
    static QByteArray writePortCommand(Port port, double value);

    // Each writes one command with one write; nothing is written for a refused value.
    SendOutcome sendSetDirection(Port port, double value);
    SendOutcome sendWritePort(Port port, double value);

    // The read-ports exchange: drops whatever is already waiting, writes "abc" and waits
    // until exactly three bytes wait, at most ReplyDeadlineMs.
    ReadPortsOutcome readPorts();

private:
    SendOutcome send(const QByteArray &command);
    SendOutcome failure() const;

    SerialLink &m_link;
};
