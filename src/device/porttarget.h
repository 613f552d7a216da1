// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portname.h"
#include "remoteaddress.h"
#include "seriallink.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// What a board is reached by: a port number (as the window names it), a device path, a USB
// adapter's serial number, or a serial server's URL. Chosen once, from one text, and turned
// into a link by makeLink().
struct PortTarget
{
    enum class Kind { Number, Path, UsbSerial, Remote };

    Kind kind = Kind::Number;
    int number = 0;        // Number: 1..32767
    std::string path;      // Path: as given
    std::string usbSerial; // UsbSerial: found among the devices present at each open
    RemoteAddress remote;  // Remote

    static PortTarget fromNumber(int number);
    // A URL (socket://, rfc2217://), "usb-serial:SERIAL", on Windows "COMn" or "\\.\COMn"
    // (any case) as port n, and anything else as a device path: "3" is the path 3. Nothing,
    // with *error set to one line, for a URL that is not one of ours or is malformed, a COM
    // number out of range, or usb-serial: without a serial number.
    static std::optional<PortTarget> parse(std::string_view text, std::string *error);

    // "port 3", "/dev/pts/4", "usb-serial:A10K2X", "rfc2217://lab7:4003"
    std::string described() const;
};

struct LinkOptions
{
    // Turns a port number into the system device to open; empty: systemPortName().
    std::function<std::string(int)> portNamer;
    // Where a usb-serial target is looked for.
    DeviceTree deviceTree{};
};

// The link for a target: a local serial port (termios, or the Win32 communications API) or
// a socket to a serial server. Nothing is opened yet.
std::unique_ptr<SerialLink> makeLink(const PortTarget &target, const LinkOptions &options = {});
