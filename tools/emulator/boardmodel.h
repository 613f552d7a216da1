// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/port.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the board makes of the bytes the host sends, and what it answers. Pure state: no I/O,
// no threads, so both the pty server and the tests can drive it byte by byte.
class BoardModel
{
public:
    static constexpr int PortCount = 3;
    static constexpr std::uint8_t PowerUpDirection = 0xFF; // every line an input
    static constexpr char SetDirectionByte = '!';

    enum class EventKind { SetDirection, WritePort, ReadPorts, Ignored };

    struct Event
    {
        EventKind kind = EventKind::Ignored;
        Port port = Port::A;    // SetDirection and WritePort only
        std::uint8_t value = 0; // the value byte, or the ignored byte itself
        std::string reply;      // ReadPorts: the three bytes the board answers

        friend bool operator==(const Event &, const Event &) = default;
    };

    // Every event the byte completes, in order. A byte that breaks off a half-received command
    // first yields an Ignored event for each byte of that command, then is decoded afresh.
    // A command still incomplete yields nothing until its last byte arrives.
    std::vector<Event> feed(std::uint8_t byte);
    std::vector<Event> feed(std::string_view bytes);

    // Back to the power-up registers; the input patterns are the test's, so they stay.
    void reset();

    std::uint8_t direction(Port port) const;
    std::uint8_t output(Port port) const;
    std::uint8_t inputPattern(Port port) const;
    void setInputPattern(Port port, std::uint8_t pattern);

    // Output lines read back their output bit, input lines the input pattern.
    std::uint8_t readPort(Port port) const;
    std::string readPorts() const;

    // One line for the emulator's log, e.g. "write-port B 05" or "read-ports -> 01 80 FF".
    static std::string describe(const Event &event);
    static std::string hex(std::string_view bytes);

private:
    enum class State { Idle, DirectionPort, DirectionValue, WriteValue, ReadB, ReadC };

    static Event ignored(std::uint8_t byte) { return {EventKind::Ignored, Port::A, byte, {}}; }

    State m_state = State::Idle;
    Port m_pendingPort = Port::A;
    std::array<std::uint8_t, PortCount> m_direction{PowerUpDirection, PowerUpDirection,
                                                    PowerUpDirection};
    std::array<std::uint8_t, PortCount> m_output{};
    std::array<std::uint8_t, PortCount> m_inputPattern{};
};
