// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/port.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>

// What the board makes of the bytes the host sends, and what it answers. Pure state: no I/O,
// no threads, so both the pty server and the tests can drive it byte by byte.
class BoardModel
{
public:
    static constexpr int PortCount = 3;
    static constexpr quint8 PowerUpDirection = 0xFF; // every line an input
    static constexpr char SetDirectionByte = '!';

    enum class EventKind { SetDirection, WritePort, ReadPorts, Ignored };

    struct Event
    {
        EventKind kind = EventKind::Ignored;
        Port port = Port::A; // SetDirection and WritePort only
        quint8 value = 0;    // the value byte, or the ignored byte itself
        QByteArray reply;    // ReadPorts: the three bytes the board answers

        friend bool operator==(const Event &, const Event &) = default;
    };

    // Every event the byte completes, in order. A byte that breaks off a half-received command
    // first yields an Ignored event for each byte of that command, then is decoded afresh.
    // A command still incomplete yields nothing until its last byte arrives.
    QList<Event> feed(quint8 byte);
    QList<Event> feed(const QByteArray &bytes);

    // Back to the power-up registers; the input patterns are the test's, so they stay.
    void reset();

    quint8 direction(Port port) const;
    quint8 output(Port port) const;
    quint8 inputPattern(Port port) const;
    void setInputPattern(Port port, quint8 pattern);

    // Output lines read back their output bit, input lines the input pattern.
    quint8 readPort(Port port) const;
    QByteArray readPorts() const;

    // One line for the emulator's log, e.g. "write-port B 05" or "read-ports -> 01 80 FF".
    static QString describe(const Event &event);
    static QString hex(const QByteArray &bytes);

private:
    enum class State { Idle, DirectionPort, DirectionValue, WriteValue, ReadB, ReadC };

    static Event ignored(quint8 byte) { return {EventKind::Ignored, Port::A, byte, {}}; }

    State m_state = State::Idle;
    Port m_pendingPort = Port::A;
    std::array<quint8, PortCount> m_direction{PowerUpDirection, PowerUpDirection, PowerUpDirection};
    std::array<quint8, PortCount> m_output{};
    std::array<quint8, PortCount> m_inputPattern{};
};
