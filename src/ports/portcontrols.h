// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/port.h"

#include <array>

class QPushButton;
class TextBox;

// The controls of one port, as the handlers see them. Index i of each bit view is line i.
struct PortControls
{
    Port port = Port::A;
    std::array<QPushButton *, 8> directionBits{}; // PortXIOBit: "I" input, "O" output
    TextBox *directionDec = nullptr;              // PortXIODec
    TextBox *directionHex = nullptr;              // PortXIOHex
    std::array<QPushButton *, 8> writeBits{};     // PortXIO: "1" or "0"
    TextBox *writeDec = nullptr;                  // PortXWDec
    TextBox *writeHex = nullptr;                  // PortXWHex
    TextBox *readDec = nullptr;                   // PortXRDec
    TextBox *readHex = nullptr;                   // PortXRHex
};

using AllPorts = std::array<PortControls, 3>;
