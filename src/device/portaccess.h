// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

enum class OpenFailure { NoSuchDevice, InUse, PermissionDenied, NotSerial, Other };
enum class InUseBy { Nobody, Lock, ExclusiveMode, ControllingTerminal };

// Why a port could not be opened, for people and for programs.
struct OpenRefusal
{
    OpenFailure failure = OpenFailure::Other;
    InUseBy by = InUseBy::Nobody;
    QString path;        // the name as given, e.g. /dev/com3
    QString device;      // what it resolves to through every link, e.g. /dev/ttyUSB0
    qint64 pid = 0;      // the lock holder, or the process whose terminal it is
    QString processName; // that process's name, when known
    QString lockFile;    // the lock file involved
    QString systemText;  // the system's error text, where a call failed
    // NotSerial: what it is instead ("regular file"). PermissionDenied: the group whose members
    // may open it, empty when joining a group would not help. Lock: the holder's host when it
    // is not this one.
    QString detail;
    // Lock: its holder has ended, but the lock could not be removed.
    bool stale = false;

    // One line for people, e.g. "/dev/com3 is the terminal of process 4711 (bash)".
    QString text() const;
};

// Holds a port for this process from the checks until the serial layer has opened it itself.
class PortClaim
{
public:
    struct Options
    {
        // Where lock files are looked for; empty means the directories the serial layer uses.
        QStringList lockDirs;
    };

    // Resolves path, refuses what is not ours to use, and on success keeps a probe descriptor
    // open so that the serial layer's own open and our close never make a last close (which
    // would drop DTR on a real board). Nothing is ever written to the port.
    static std::variant<PortClaim, OpenRefusal> claim(const QString &path,
                                                      const Options &options = {});

    PortClaim(PortClaim &&other) noexcept;
    PortClaim &operator=(PortClaim &&other) noexcept;
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;
    ~PortClaim();

    // The canonical device path: what the serial layer must open.
    QString device() const { return m_device; }
    // Every name from the one given to the device, in the order the links lead.
    QStringList names() const { return m_names; }
    // Closes the probe descriptor; call it once the serial layer has opened the port.
    void release();

private:
    PortClaim(QStringList names, int fd);

    QStringList m_names;
    QString m_device;
    int m_fd = -1;
};

// What can be said about a port name without opening anything: missing, not a serial device,
// the terminal of process N, not openable by this user, locked by process N. Empty when nothing
// stands in the way. A lock whose holder has ended is no obstacle (a claim removes it).
std::optional<OpenRefusal> checkWithoutOpening(const QString &path,
                                               const PortClaim::Options &options = {});

// The lock files that would name this device: in every lock directory, for every name from path
// to the device, the classic LCK..<basename> and the serial layer's own LCK..<name with '_'>.
QStringList lockFileCandidates(const QString &path, const PortClaim::Options &options = {});
