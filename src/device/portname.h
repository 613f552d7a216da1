// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portaccess.h"

#include <QList>
#include <QString>

#include <optional>

// The system device that port number N names:
//   Windows:   COMN
//   elsewhere: <devDir>/comN when it exists (a udev SYMLINK+="comN" rule or a link made by
//              hand), otherwise <devDir>/ttyS(N-1), the usual name of the N-th UART.
// Numbers below 1 name nothing and give an empty string.
QString systemPortName(int number, const QString &devDir = QStringLiteral("/dev"));

// A serial device as the system describes it.
struct SerialDeviceInfo
{
    QString portName;       // "ttyACM0", "COM3"
    QString systemLocation; // "/dev/ttyACM0"
    QString description;
    QString manufacturer;
    QString serialNumber;
    std::optional<quint16> vendorId;
    std::optional<quint16> productId;
};

// Every serial device present right now.
QList<SerialDeviceInfo> serialDevices();

// What one port number names right now, or a serial device that no number reaches.
struct PortNumberEntry
{
    int number = 0;     // 0: a serial device no number reaches
    QString path;       // what the number names: /dev/com3, /dev/ttyS0
    QString linkTarget; // path is a link: the device it leads to, or, dangling, where it points
    bool present = true;
    std::optional<SerialDeviceInfo> hardware;
    std::optional<OpenRefusal> obstacle; // what keeps this user from it, found without opening

    QString device() const { return linkTarget.isEmpty() ? path : linkTarget; }
    bool pseudoTerminal() const
    {
        return present && device().startsWith(QLatin1String("/dev/pts/"));
    }
};

// The numbered entries in ascending order, then the devices no number reaches.
QList<PortNumberEntry> portNumberEntries(const QList<SerialDeviceInfo> &devices,
                                         const QString &devDir = QStringLiteral("/dev"));

// "/dev/com3 -> /dev/ttyACM0, USB Serial, Maker, 2341:0043 (in use by process 7 (cat))"
QString portEntryText(const PortNumberEntry &entry);

// For people looking for their board: one line per port number that names a device under
// devDir right now and what it names, in ascending order, then the devices no number
// reaches yet. devices describes the hardware (serialDevices()). Entries this user cannot use
// are marked: not a serial device, no permission, some process's terminal, in use by a lock.
QString portNumberOverview(const QList<SerialDeviceInfo> &devices,
                           const QString &devDir = QStringLiteral("/dev"));
