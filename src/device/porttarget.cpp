// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "porttarget.h"

#include "socketlink.h"

#ifdef _WIN32
#include "win32/commlink.h"
#else
#include "posix/termioslink.h"
#endif

#include <algorithm>

#ifdef _WIN32
namespace {

constexpr int HighestPortNumber = 32767;

bool isDigits(std::string_view text)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "COM7" or "\\.\COM7", "COM" in any case: the digits after it, or nothing.
std::optional<std::string_view> comDigits(std::string_view text)
{
    constexpr std::string_view DevicePrefix = "\\\\.\\";
    if (text.substr(0, DevicePrefix.size()) == DevicePrefix)
        text.remove_prefix(DevicePrefix.size());
    if (text.size() < 4)
        return std::nullopt;
    for (size_t i = 0; i < 3; ++i) {
        if ((text[i] | 0x20) != "com"[i])
            return std::nullopt;
    }
    const std::string_view digits = text.substr(3);
    return isDigits(digits) ? std::optional(digits) : std::nullopt;
}

} // namespace
#endif

PortTarget PortTarget::fromNumber(int number)
{
    PortTarget target;
    target.kind = Kind::Number;
    target.number = number;
    return target;
}

std::optional<PortTarget> PortTarget::parse(std::string_view text, std::string *error)
{
    constexpr std::string_view UsbSerialPrefix = "usb-serial:";
    if (text.substr(0, UsbSerialPrefix.size()) == UsbSerialPrefix) {
        text.remove_prefix(UsbSerialPrefix.size());
        if (text.empty()) {
            if (error)
                *error = "usb-serial: needs the board's USB serial number, e.g. usb-serial:A10K2X";
            return std::nullopt;
        }
        PortTarget target;
        target.kind = Kind::UsbSerial;
        target.usbSerial = std::string(text);
        return target;
    }
#ifdef _WIN32
    if (const std::optional<std::string_view> digits = comDigits(text)) {
        // At most five digits: std::stoi cannot overflow.
        const bool inRange = digits->size() <= 5 && digits->front() != '0' &&
                             std::stoi(std::string(*digits)) <= HighestPortNumber;
        if (!inRange) {
            if (error)
                *error = "bad port number \"" + std::string(text) +
                         "\": a port number is a whole number from 1 to 32767";
            return std::nullopt;
        }
        return fromNumber(std::stoi(std::string(*digits)));
    }
#endif
    if (RemoteAddress::looksLikeUrl(text)) {
        std::string why;
        std::optional<RemoteAddress> remote = RemoteAddress::parse(text, &why);
        if (!remote) {
            if (error)
                *error = why;
            return std::nullopt;
        }
        PortTarget target;
        target.kind = Kind::Remote;
        target.remote = *remote;
        return target;
    }
    PortTarget target;
    target.kind = Kind::Path;
    target.path = std::string(text);
    return target;
}

std::string PortTarget::described() const
{
    switch (kind) {
    case Kind::Number:
        return "port " + std::to_string(number);
    case Kind::Path:
        return path;
    case Kind::UsbSerial:
        return "usb-serial:" + usbSerial;
    case Kind::Remote:
        return remote.url();
    }
    return path;
}

std::unique_ptr<SerialLink> makeLink(const PortTarget &target, const LinkOptions &options)
{
    if (target.kind == PortTarget::Kind::Remote)
        return std::make_unique<SocketLink>(target.remote);
#ifdef _WIN32
    return std::make_unique<CommLink>(target, options);
#else
    return std::make_unique<TermiosLink>(target, options);
#endif
}
