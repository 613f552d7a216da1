// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "portname.h"

#include "portaccess.h"

#include <cstdio>

namespace {

std::string joined(const std::vector<std::string> &parts, const std::string &separator)
{
    std::string text;
    for (const std::string &part : parts) {
        if (!text.empty())
            text += separator;
        text += part;
    }
    return text;
}

std::string hex4(unsigned int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string details(const SerialDeviceInfo &device)
{
    std::vector<std::string> parts;
    if (!device.description.empty())
        parts.push_back(device.description);
    if (!device.manufacturer.empty() && device.manufacturer != device.description)
        parts.push_back(device.manufacturer);
    if (device.vendorId && device.productId)
        parts.push_back(hex4(*device.vendorId) + ":" + hex4(*device.productId));
    if (!device.serialNumber.empty())
        parts.push_back("serial " + device.serialNumber);
    return parts.empty() ? std::string() : ", " + joined(parts, ", ");
}

// What keeps this user from a device, in a few words.
std::string obstacleMark(const OpenRefusal &refusal)
{
    const auto process = [&] {
        return refusal.processName.empty()
                   ? "process " + std::to_string(refusal.pid)
                   : "process " + std::to_string(refusal.pid) + " (" + refusal.processName + ")";
    };
    switch (refusal.failure) {
    case OpenFailure::NotSerial:
        return " (not a serial device)";
    case OpenFailure::PermissionDenied:
        return " (no permission for this user)";
    case OpenFailure::InUse:
        if (refusal.by == InUseBy::ControllingTerminal)
            return " (terminal of " + process() + ")";
        if (refusal.by == InUseBy::SystemConsole)
            return " (system console)";
        if (refusal.by == InUseBy::Lock && refusal.stale)
            return " (stale lock " + refusal.lockFile + " cannot be removed)";
        if ((refusal.by == InUseBy::Lock || refusal.by == InUseBy::DeviceLock) && refusal.pid > 0)
            return " (in use by " + process() + ")";
        return " (in use)";
    case OpenFailure::NoSuchDevice: // said as "not present" where it matters
    case OpenFailure::Unreachable:  // no port number names a board on another machine
    case OpenFailure::Ambiguous:
    case OpenFailure::Other:
        break;
    }
    return {};
}

} // namespace

std::string portEntryText(const PortNumberEntry &entry)
{
    std::string text = entry.path;
    if (!entry.linkTarget.empty())
        text += " -> " + entry.linkTarget;
    if (!entry.present)
        return text + " (not present)";
    if (entry.hardware)
        text += details(*entry.hardware);
    if (entry.pseudoTerminal())
        text += ", pseudo-terminal";
    if (entry.obstacle)
        text += obstacleMark(*entry.obstacle);
    return text;
}

std::string portNumberOverview(const std::vector<SerialDeviceInfo> &devices,
                               const std::string &devDir)
{
    const std::vector<PortNumberEntry> entries = portNumberEntries(devices, devDir);
    std::vector<std::string> numbered;
    std::vector<std::string> unnumbered;
    for (const PortNumberEntry &entry : entries) {
        if (entry.number > 0)
            numbered.push_back(std::to_string(entry.number) + ": " + portEntryText(entry));
        else
            unnumbered.push_back(portEntryText(entry));
    }

    std::vector<std::string> lines;
    if (numbered.empty()) {
        lines.emplace_back("No port number names a device on this machine right now.");
    } else {
        lines.emplace_back("Port numbers that name a device right now:");
        lines.insert(lines.end(), numbered.begin(), numbered.end());
    }
    if (!unnumbered.empty()) {
#ifdef _WIN32
        lines.emplace_back("Other serial devices:");
#else
        lines.emplace_back("Serial devices no number reaches (give one a /dev/comN link):");
#endif
        lines.insert(lines.end(), unnumbered.begin(), unnumbered.end());
    }
    return joined(lines, "\n");
}

std::variant<SerialDeviceInfo, OpenRefusal>
findUsbSerial(const std::string &serial, const std::vector<SerialDeviceInfo> &devices)
{
    std::vector<const SerialDeviceInfo *> matches;
    std::vector<std::string> found;
    for (const SerialDeviceInfo &device : devices) {
        if (device.serialNumber.empty())
            continue;
        if (device.serialNumber == serial)
            matches.push_back(&device);
        found.push_back(device.serialNumber + " on " + absolutePortName(device.systemLocation));
    }
    if (matches.size() == 1)
        return *matches.front();

    OpenRefusal refusal;
    refusal.path = "usb-serial:" + serial;
    if (matches.empty()) {
        refusal.failure = OpenFailure::NoSuchDevice;
        refusal.detail =
            "no board with USB serial number " + serial + " (" +
            (found.empty() ? "no USB serial devices" : "found: " + joined(found, ", ")) + ")";
        return refusal;
    }
    // Cheap adapters often share one serial number: only the path tells them apart.
    std::vector<std::string> paths;
    for (const SerialDeviceInfo *device : matches)
        paths.push_back(absolutePortName(device->systemLocation));
    refusal.failure = OpenFailure::Ambiguous;
    refusal.detail = std::to_string(matches.size()) + " boards with USB serial number " + serial +
                     ": " + joined(paths, ", ") + "; name one by its path";
    return refusal;
}
