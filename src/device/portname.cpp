// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "portname.h"

#include "portaccess.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSet>

namespace {

// The numbers a port-number text can name.
constexpr int HighestPortNumber = 32767;

QString details(const SerialDeviceInfo &device)
{
    QStringList parts;
    if (!device.description.isEmpty())
        parts << device.description;
    if (!device.manufacturer.isEmpty() && device.manufacturer != device.description)
        parts << device.manufacturer;
    if (device.vendorId && device.productId) {
        parts << QStringLiteral("%1:%2")
                     .arg(*device.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(*device.productId, 4, 16, QLatin1Char('0'));
    }
    if (!device.serialNumber.isEmpty())
        parts << QStringLiteral("serial %1").arg(device.serialNumber);
    return parts.isEmpty() ? QString() : QStringLiteral(", ") + parts.join(QStringLiteral(", "));
}

// What keeps this user from a device, in a few words.
QString obstacleMark(const OpenRefusal &refusal)
{
    const auto process = [&] {
        return refusal.processName.isEmpty()
                   ? QStringLiteral("process %1").arg(refusal.pid)
                   : QStringLiteral("process %1 (%2)").arg(refusal.pid).arg(refusal.processName);
    };
    switch (refusal.failure) {
    case OpenFailure::NotSerial:
        return QStringLiteral(" (not a serial device)");
    case OpenFailure::PermissionDenied:
        return QStringLiteral(" (no permission for this user)");
    case OpenFailure::InUse:
        if (refusal.by == InUseBy::ControllingTerminal)
            return QStringLiteral(" (terminal of %1)").arg(process());
        if (refusal.by == InUseBy::SystemConsole)
            return QStringLiteral(" (system console)");
        if (refusal.by == InUseBy::Lock && refusal.stale)
            return QStringLiteral(" (stale lock %1 cannot be removed)").arg(refusal.lockFile);
        if ((refusal.by == InUseBy::Lock || refusal.by == InUseBy::DeviceLock) && refusal.pid > 0)
            return QStringLiteral(" (in use by %1)").arg(process());
        return QStringLiteral(" (in use)");
    case OpenFailure::NoSuchDevice: // said as "not present" where it matters
    case OpenFailure::Unreachable:  // no port number names a board on another machine
    case OpenFailure::Other:
        break;
    }
    return {};
}

QString resolved(const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

} // namespace

QString systemPortName(int number, const QString &devDir)
{
    if (number < 1)
        return {};
#ifdef Q_OS_WIN
    Q_UNUSED(devDir);
    return QStringLiteral("COM%1").arg(number);
#else
    const QString link = devDir + QStringLiteral("/com%1").arg(number);
    // A dangling comN still names its board (unplugged right now): opening it fails
    // rather than silently falling back to a UART that happens to share the number.
    const QFileInfo info(link);
    if (info.exists() || info.isSymLink())
        return link;
    return devDir + QStringLiteral("/ttyS%1").arg(number - 1);
#endif
}

QList<SerialDeviceInfo> serialDevices()
{
    QList<SerialDeviceInfo> devices;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        SerialDeviceInfo device{info.portName(),
                                info.systemLocation(),
                                info.description(),
                                info.manufacturer(),
                                info.serialNumber(),
                                {},
                                {}};
        if (info.hasVendorIdentifier())
            device.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            device.productId = info.productIdentifier();
        devices << device;
    }
    return devices;
}

QList<PortNumberEntry> portNumberEntries(const QList<SerialDeviceInfo> &devices,
                                         const QString &devDir)
{
    QHash<QString, const SerialDeviceInfo *> byLocation;
    for (const SerialDeviceInfo &device : devices)
        byLocation.insert(resolved(device.systemLocation), &device);
    const auto hardware = [&](const QString &location) -> std::optional<SerialDeviceInfo> {
        const SerialDeviceInfo *device = byLocation.value(location);
        return device ? std::optional(*device) : std::nullopt;
    };

    QMap<int, PortNumberEntry> numbered;
    QSet<QString> reached;
#ifdef Q_OS_WIN
    Q_UNUSED(devDir);
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,4})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    for (const SerialDeviceInfo &device : devices) {
        const QRegularExpressionMatch match = comName.match(device.portName);
        if (match.hasMatch() && match.captured(1).toInt() <= HighestPortNumber) {
            const int number = match.captured(1).toInt();
            numbered.insert(number, {number, device.portName, {}, true, device, {}});
            reached.insert(resolved(device.systemLocation));
        }
    }
#else
    static const QRegularExpression comName(QStringLiteral("^com([1-9][0-9]{0,4})$"));
    const QDir dir(devDir);
    const QStringList names =
        dir.entryList({QStringLiteral("com*")}, QDir::AllEntries | QDir::System | QDir::Hidden);
    for (const QString &name : names) {
        const QRegularExpressionMatch match = comName.match(name);
        const int number = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (number < 1 || number > HighestPortNumber)
            continue;
        const QFileInfo info(dir.filePath(name));
        PortNumberEntry entry{number, info.filePath(), {}, true, {}, {}};
        if (info.isSymLink()) {
            entry.linkTarget = info.canonicalFilePath();
            if (entry.linkTarget.isEmpty()) {
                entry.linkTarget = info.symLinkTarget();
                entry.present = false;
            }
        }
        if (entry.present) {
            entry.hardware = hardware(entry.device());
            entry.obstacle = checkWithoutOpening(entry.path);
            reached.insert(entry.device());
        }
        numbered.insert(number, entry);
    }
    // A UART is reached through its ttyS number unless a comN entry takes that number.
    static const QRegularExpression uartName(QStringLiteral("^ttyS([0-9]{1,5})$"));
    for (const SerialDeviceInfo &device : devices) {
        const QFileInfo location(device.systemLocation);
        const QRegularExpressionMatch match = uartName.match(location.fileName());
        if (!match.hasMatch() || QDir(location.path()) != dir)
            continue;
        const int number = match.captured(1).toInt() + 1;
        if (number > HighestPortNumber || numbered.contains(number))
            continue;
        numbered.insert(number, {number,
                                 device.systemLocation,
                                 {},
                                 true,
                                 device,
                                 checkWithoutOpening(device.systemLocation)});
        reached.insert(resolved(device.systemLocation));
    }
#endif

    QList<PortNumberEntry> entries = numbered.values();
    for (const SerialDeviceInfo &device : devices) {
        if (!reached.contains(resolved(device.systemLocation)))
            entries.append({0,
                            device.systemLocation,
                            {},
                            true,
                            device,
                            checkWithoutOpening(device.systemLocation)});
    }
    return entries;
}

QString portEntryText(const PortNumberEntry &entry)
{
    QString text = entry.path;
    if (!entry.linkTarget.isEmpty())
        text += QStringLiteral(" -> ") + entry.linkTarget;
    if (!entry.present)
        return text + QStringLiteral(" (not present)");
    if (entry.hardware)
        text += details(*entry.hardware);
    if (entry.pseudoTerminal())
        text += QStringLiteral(", pseudo-terminal");
    if (entry.obstacle)
        text += obstacleMark(*entry.obstacle);
    return text;
}

QString portNumberOverview(const QList<SerialDeviceInfo> &devices, const QString &devDir)
{
    const QList<PortNumberEntry> entries = portNumberEntries(devices, devDir);
    QStringList numbered;
    QStringList unnumbered;
    for (const PortNumberEntry &entry : entries) {
        if (entry.number > 0)
            numbered << QStringLiteral("%1: %2").arg(entry.number).arg(portEntryText(entry));
        else
            unnumbered << portEntryText(entry);
    }

    QStringList lines;
    if (numbered.isEmpty()) {
        lines << QStringLiteral("No port number names a device on this machine right now.");
    } else {
        lines << QStringLiteral("Port numbers that name a device right now:");
        lines << numbered;
    }
    if (!unnumbered.isEmpty()) {
#ifdef Q_OS_WIN
        lines << QStringLiteral("Other serial devices:");
#else
        lines << QStringLiteral("Serial devices no number reaches (give one a /dev/comN link):");
#endif
        lines << unnumbered;
    }
    return lines.join(QLatin1Char('\n'));
}
