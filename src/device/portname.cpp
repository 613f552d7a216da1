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

// What keeps this user from a device, in a few words; empty when nothing is known to.
QString obstacleMark(const QString &path)
{
    const std::optional<OpenRefusal> refusal = checkWithoutOpening(path);
    if (!refusal)
        return {};
    const auto process = [&] {
        return refusal->processName.isEmpty()
                   ? QStringLiteral("process %1").arg(refusal->pid)
                   : QStringLiteral("process %1 (%2)").arg(refusal->pid).arg(refusal->processName);
    };
    switch (refusal->failure) {
    case OpenFailure::NotSerial:
        return QStringLiteral(" (not a serial device)");
    case OpenFailure::PermissionDenied:
        return QStringLiteral(" (no permission for this user)");
    case OpenFailure::InUse:
        if (refusal->by == InUseBy::ControllingTerminal)
            return QStringLiteral(" (terminal of %1)").arg(process());
        if (refusal->by == InUseBy::Lock && refusal->stale)
            return QStringLiteral(" (stale lock %1 cannot be removed)").arg(refusal->lockFile);
        if (refusal->by == InUseBy::Lock && refusal->pid > 0)
            return QStringLiteral(" (in use by %1)").arg(process());
        return QStringLiteral(" (in use)");
    case OpenFailure::NoSuchDevice: // said as "not present" where it matters
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

QString portNumberOverview(const QList<SerialDeviceInfo> &devices, const QString &devDir)
{
    QHash<QString, const SerialDeviceInfo *> byLocation;
    for (const SerialDeviceInfo &device : devices)
        byLocation.insert(resolved(device.systemLocation), &device);
    const auto describe = [&](const QString &location) {
        const SerialDeviceInfo *device = byLocation.value(location);
        return device ? details(*device) : QString();
    };

    QMap<int, QString> numbered;
    QSet<QString> reached;
#ifdef Q_OS_WIN
    Q_UNUSED(devDir);
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]{0,4})$"),
                                            QRegularExpression::CaseInsensitiveOption);
    for (const SerialDeviceInfo &device : devices) {
        const QRegularExpressionMatch match = comName.match(device.portName);
        if (match.hasMatch() && match.captured(1).toInt() <= HighestPortNumber) {
            numbered.insert(match.captured(1).toInt(), device.portName + details(device));
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
        const QFileInfo entry(dir.filePath(name));
        QString line = entry.filePath();
        if (entry.isSymLink()) {
            const QString target = entry.canonicalFilePath();
            if (target.isEmpty()) {
                line += QStringLiteral(" -> %1 (not present)").arg(entry.symLinkTarget());
            } else {
                line += QStringLiteral(" -> ") + target + describe(target);
                if (target.startsWith(QLatin1String("/dev/pts/")))
                    line += QStringLiteral(", pseudo-terminal");
                line += obstacleMark(entry.filePath());
                reached.insert(target);
            }
        } else {
            line += describe(entry.filePath()) + obstacleMark(entry.filePath());
            reached.insert(entry.filePath());
        }
        numbered.insert(number, line);
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
        numbered.insert(number, device.systemLocation + details(device) +
                                    obstacleMark(device.systemLocation));
        reached.insert(resolved(device.systemLocation));
    }
#endif

    QStringList lines;
    if (numbered.isEmpty()) {
        lines << QStringLiteral("No port number names a device on this machine right now.");
    } else {
        lines << QStringLiteral("Port numbers that name a device right now:");
        for (auto it = numbered.cbegin(); it != numbered.cend(); ++it)
            lines << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    }
    QStringList unnumbered;
    for (const SerialDeviceInfo &device : devices) {
        if (!reached.contains(resolved(device.systemLocation)))
            unnumbered << device.systemLocation + details(device) +
                              obstacleMark(device.systemLocation);
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
