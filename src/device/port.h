// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <optional>

// One of the board's three 8-bit ports. On the wire a port is its upper-case letter.
enum class Port : unsigned char { A, B, C };

inline constexpr std::array<Port, 3> BoardPorts{Port::A, Port::B, Port::C};

constexpr int portIndex(Port port)
{
    return int(port);
}

constexpr char portLetter(Port port)
{
    return char('A' + portIndex(port));
}

// The port a command letter names: 'A', 'B' or 'C' only (the lower-case letters of the
// read-ports command name no port).
constexpr std::optional<Port> portFromLetter(char letter)
{
    if (letter < 'A' || letter > 'C')
        return std::nullopt;
    return Port(letter - 'A');
}
