// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "remoteaddress.h"
#include "seriallink.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What a board is reached by: a port number (as the window names it), a device path, or a
// serial server's URL. Chosen once, from one text, and turned into a link by makeLink().
struct PortTarget
{
    enum class Kind { Number, Path, Remote };

    Kind kind = Kind::Number;
    int number = 0;       // Number: 1..32767
    std::string path;     // Path: as given
    RemoteAddress remote; // Remote

    static PortTarget fromNumber(int number);
    // A URL (socket://, rfc2217://), on Windows "COMn" or "\\.\COMn" (any case) as port n,
    // and anything else as a device path: "3" is the path 3. Nothing, with *error set to one
    // line, for a URL that is not one of ours or is malformed, or a COM number out of range.
    static std::optional<PortTarget> parse(std::string_view text, std::string *error);

    // "port 3", "/dev/pts/4", "rfc2217://lab7:4003"
    std::string described() const;
};

struct LinkOptions
{
    // Turns a port number into the system device to open; empty: systemPortName().
    std::function<std::string(int)> portNamer;
};

// The link for a target: a local serial port (termios, or the Win32 communications API) or
// a socket to a serial server. Nothing is opened yet.
std::unique_ptr<SerialLink> makeLink(const PortTarget &target, const LinkOptions &options = {});
