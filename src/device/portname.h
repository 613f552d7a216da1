// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portaccess.h"

#include <cstdint>
#include <string>
#include <vector>

#include <optional>
#include <variant>

// The system device that port number N names:
//   Windows:   COMN (opened as \\.\COMN)
//   elsewhere: <devDir>/comN when it exists (a udev SYMLINK+="comN" rule or a link made by
//              hand), otherwise <devDir>/ttyS(N-1), the usual name of the N-th UART.
// Numbers below 1 name nothing and give an empty string.
std::string systemPortName(int number, const std::string &devDir = "/dev");

// Where the system describes its devices (POSIX; Windows asks the device manager). Tests put
// a tree of their own in its place.
struct DeviceTree
{
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev"; // the device nodes, and udev's links under serial/
};

// A serial device as the system describes it.
struct SerialDeviceInfo
{
    std::string portName;       // "ttyACM0", "COM3"
    std::string systemLocation; // "/dev/ttyACM0"
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
    std::string product{}; // the USB product string
    // A name that stays with the device from one plug-in to the next: its /dev/serial/by-id
    // link, on Windows its device instance path (USB\VID_0403&PID_6001\A10K2X).
    std::string stablePath{};
    // Its /dev/serial/by-path link: the socket it is plugged into.
    std::string locationPath{};
};

// Every serial device present right now.
std::vector<SerialDeviceInfo> serialDevices(const DeviceTree &tree = {});

// The one device among devices whose USB serial number is serial (compared exactly), or why
// there is none: NoSuchDevice naming the serial numbers there are, or Ambiguous naming the
// paths of those that share it.
std::variant<SerialDeviceInfo, OpenRefusal>
findUsbSerial(const std::string &serial, const std::vector<SerialDeviceInfo> &devices);

// What one port number names right now, or a serial device that no number reaches.
struct PortNumberEntry
{
    int number = 0;         // 0: a serial device no number reaches
    std::string path;       // what the number names: /dev/com3, /dev/ttyS0
    std::string linkTarget; // path is a link: the device it leads to, or, dangling, where it points
    bool present = true;
    std::optional<SerialDeviceInfo> hardware;
    std::optional<OpenRefusal> obstacle; // what keeps this user from it, found without opening

    std::string device() const { return linkTarget.empty() ? path : linkTarget; }
    bool pseudoTerminal() const { return present && device().rfind("/dev/pts/", 0) == 0; }
};

// The numbered entries in ascending order, then the devices no number reaches.
std::vector<PortNumberEntry> portNumberEntries(const std::vector<SerialDeviceInfo> &devices,
                                               const std::string &devDir = "/dev");

// "/dev/com3 -> /dev/ttyACM0, USB Serial, Maker, 2341:0043 (in use by process 7 (cat))"
std::string portEntryText(const PortNumberEntry &entry);

// For people looking for their board: one line per port number that names a device under
// devDir right now and what it names, in ascending order, then the devices no number
// reaches yet. devices describes the hardware (serialDevices()). Entries this user cannot use
// are marked: not a serial device, no permission, some process's terminal, in use by a lock.
std::string portNumberOverview(const std::vector<SerialDeviceInfo> &devices,
                               const std::string &devDir = "/dev");
