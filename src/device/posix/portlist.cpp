// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "../portname.h"
#include "paths.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace PosixPaths;

namespace {

// The numbers a port-number text can name.
constexpr int HighestPortNumber = 32767;

std::string resolved(const std::string &path)
{
    const std::string canonical = canonicalPath(path);
    return canonical.empty() ? path : canonical;
}

std::vector<std::string> entriesOf(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *handle = ::opendir(dir.c_str())) {
        while (const dirent *entry = ::readdir(handle)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(handle);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A sysfs attribute's first line.
std::string attribute(const std::string &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r'))
        line.pop_back();
    return line;
}

std::optional<std::uint16_t> hexAttribute(const std::string &file)
{
    const std::string text = attribute(file);
    if (text.empty())
        return std::nullopt;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0' || value > 0xffff)
        return std::nullopt;
    return std::uint16_t(value);
}

// udev's links in dir by the device each leads to; the first by name where several do.
std::map<std::string, std::string> linksByDevice(const std::string &dir)
{
    std::map<std::string, std::string> links;
    for (const std::string &name : entriesOf(dir)) {
        const std::string link = dir + "/" + name;
        if (const std::string device = canonicalPath(link); !device.empty())
            links.emplace(device, link);
    }
    return links;
}

// The digits of name after prefix as a number, or -1 when name is not prefix + 1..digits.
int numberAfter(const std::string &name, const std::string &prefix, int digits, bool zeroFirst)
{
    if (name.rfind(prefix, 0) != 0)
        return -1;
    const std::string rest = name.substr(prefix.size());
    if (rest.empty() || int(rest.size()) > digits || (!zeroFirst && rest[0] == '0'))
        return -1;
    if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stoi(rest);
}

} // namespace

std::string systemPortName(int number, const std::string &devDir)
{
    if (number < 1)
        return {};
    const std::string link = devDir + "/com" + std::to_string(number);
    // A dangling comN still names its board (unplugged right now): opening it fails
    // rather than silently falling back to a UART that happens to share the number.
    if (exists(link) || isSymLink(link))
        return link;
    return devDir + "/ttyS" + std::to_string(number - 1);
}

std::vector<SerialDeviceInfo> serialDevices(const DeviceTree &tree)
{
    const std::string sysfs = resolved(tree.sysfsRoot);
    const std::string classDir = sysfs + "/class/tty";
    const std::map<std::string, std::string> byId = linksByDevice(tree.devRoot + "/serial/by-id");
    const std::map<std::string, std::string> byPath =
        linksByDevice(tree.devRoot + "/serial/by-path");
    std::vector<SerialDeviceInfo> devices;
    for (const std::string &name : entriesOf(classDir)) {
        const std::string entry = classDir + "/" + name;
        // Consoles, pseudo-terminals and the like have no device behind them.
        const std::string device = canonicalPath(entry + "/device");
        if (device.empty())
            continue;
        // The 8250 driver makes its ttyS entries whether or not a UART answers there; the
        // type it found says which do.
        const std::string driver = fileName(canonicalPath(device + "/driver"));
        if (driver == "serial8250" || name.rfind("ttyS", 0) == 0) {
            const std::string type = attribute(entry + "/type");
            if (type.empty() || type == "0")
                continue;
        }

        SerialDeviceInfo info;
        info.portName = name;
        info.systemLocation = tree.devRoot + "/" + name;
        // A USB adapter says what it is in the USB device above its interface.
        for (std::string dir = device; dir.rfind(sysfs + "/", 0) == 0; dir = dirName(dir)) {
            if (!exists(dir + "/idVendor"))
                continue;
            info.vendorId = hexAttribute(dir + "/idVendor");
            info.productId = hexAttribute(dir + "/idProduct");
            info.serialNumber = attribute(dir + "/serial");
            info.manufacturer = attribute(dir + "/manufacturer");
            info.product = attribute(dir + "/product");
            info.description = info.product;
            break;
        }
        // A PCI card names its vendor and device the same way.
        if (!info.vendorId && exists(device + "/vendor") && exists(device + "/device")) {
            info.vendorId = hexAttribute(device + "/vendor");
            info.productId = hexAttribute(device + "/device");
        }
        const std::string node = resolved(info.systemLocation);
        if (const auto link = byId.find(node); link != byId.end())
            info.stablePath = link->second;
        if (const auto link = byPath.find(node); link != byPath.end())
            info.locationPath = link->second;
        devices.push_back(info);
    }
    return devices;
}

std::vector<PortNumberEntry> portNumberEntries(const std::vector<SerialDeviceInfo> &devices,
                                               const std::string &devDir)
{
    std::map<std::string, const SerialDeviceInfo *> byLocation;
    for (const SerialDeviceInfo &device : devices)
        byLocation.emplace(resolved(device.systemLocation), &device);
    const auto hardware = [&](const std::string &location) -> std::optional<SerialDeviceInfo> {
        const auto found = byLocation.find(location);
        return found != byLocation.end() ? std::optional(*found->second) : std::nullopt;
    };

    std::map<int, PortNumberEntry> numbered;
    std::set<std::string> reached;
    for (const std::string &name : entriesOf(devDir)) {
        const int number = numberAfter(name, "com", 5, false);
        if (number < 1 || number > HighestPortNumber)
            continue;
        PortNumberEntry entry{number, devDir + "/" + name, {}, true, {}, {}};
        if (isSymLink(entry.path)) {
            entry.linkTarget = canonicalPath(entry.path);
            if (entry.linkTarget.empty()) {
                entry.linkTarget = symLinkTarget(entry.path);
                entry.present = false;
            }
        }
        if (entry.present) {
            entry.hardware = hardware(entry.device());
            entry.obstacle = checkWithoutOpening(entry.path);
            reached.insert(entry.device());
        }
        numbered.emplace(number, entry);
    }
    // A UART is reached through its ttyS number unless a comN entry takes that number.
    const std::string dir = resolved(devDir);
    for (const SerialDeviceInfo &device : devices) {
        const int uart = numberAfter(fileName(device.systemLocation), "ttyS", 5, true);
        if (uart < 0 || resolved(dirName(device.systemLocation)) != dir)
            continue;
        const int number = uart + 1;
        if (number > HighestPortNumber || numbered.count(number) != 0)
            continue;
        numbered.emplace(number, PortNumberEntry{number,
                                                 device.systemLocation,
                                                 {},
                                                 true,
                                                 device,
                                                 checkWithoutOpening(device.systemLocation)});
        reached.insert(resolved(device.systemLocation));
    }

    std::vector<PortNumberEntry> entries;
    for (const auto &[number, entry] : numbered)
        entries.push_back(entry);
    for (const SerialDeviceInfo &device : devices) {
        if (reached.count(resolved(device.systemLocation)) == 0)
            entries.push_back({0,
                               device.systemLocation,
                               {},
                               true,
                               device,
                               checkWithoutOpening(device.systemLocation)});
    }
    return entries;
}
