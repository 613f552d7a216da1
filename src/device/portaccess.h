// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <optional>
#include <variant>

enum class OpenFailure {
    NoSuchDevice,
    InUse,
    PermissionDenied,
    NotSerial,
    Unreachable, // a board on another machine: no server answers there
    Ambiguous,   // more than one device answers to what was given
    Other
};
enum class InUseBy {
    Nobody,
    Lock,
    ExclusiveMode,
    ControllingTerminal,
    DeviceLock,    // another program holds the device itself locked (flock), as every claim does
    SystemConsole, // the kernel writes its messages to it
    RemoteClient   // the serial server turned us away: another client has the board
};

// Why a port could not be opened, for people and for programs.
struct OpenRefusal
{
    OpenFailure failure = OpenFailure::Other;
    InUseBy by = InUseBy::Nobody;
    std::string path;        // the name as given, e.g. /dev/com3
    std::string device;      // what it resolves to through every link, e.g. /dev/ttyUSB0
    std::int64_t pid = 0;    // the lock holder, or the process whose terminal it is
    std::string processName; // that process's name, when known
    std::string lockFile;    // the lock file involved, or the one that could not be made
    std::string systemText;  // the system's error text, where a call failed
    // NotSerial: what it is instead ("regular file"). PermissionDenied: the group whose members
    // may open it, empty when joining a group would not help. Lock: the holder's host when it
    // is not this one. NoSuchDevice, Ambiguous: the whole text, where it says more than the path.
    std::string detail;
    // Lock: its holder has ended, but the lock could not be removed.
    bool stale = false;

    // One line for people, e.g. "/dev/com3 is the terminal of process 4711 (bash)".
    std::string text() const;
};

// The device a port name stands for before any link is followed: a bare name ("ttyUSB0") is
// under /dev, a relative path is relative to the working directory.
std::string absolutePortName(const std::string &path);

// Holds a port for this process from the checks until the serial layer has closed it again.
// Every claim locks the device itself (flock) before it touches any lock file, so among the
// programs that claim ports this way only one at a time can check, remove stale locks and
// open; the kernel drops the lock when its holder ends, however it ends.
// POSIX only: on Windows the system's exclusive open is the claim.
class PortClaim
{
public:
    struct Options
    {
        // Where lock files are looked for; empty means the directories the serial layer uses.
        std::vector<std::string> lockDirs;
        // The kernel's list of its consoles and the names of those active; empty means
        // /proc/consoles and /sys/class/tty/console/active.
        std::string consoleList;
        std::string activeConsoles;
    };

    // Resolves path, refuses what is not ours to use, and on success keeps the locked probe
    // descriptor open, so that the serial layer's own open and close never make a last close
    // (which would drop DTR on a real board). Nothing is ever written to the port.
    static std::variant<PortClaim, OpenRefusal> claim(const std::string &path,
                                                      const Options &options = {});

    PortClaim(PortClaim &&other) noexcept;
    PortClaim &operator=(PortClaim &&other) noexcept;
    PortClaim(const PortClaim &) = delete;
    PortClaim &operator=(const PortClaim &) = delete;
    ~PortClaim();

    // The canonical device path: what the serial layer must open.
    std::string device() const { return m_device; }
    // Every name from the one given to the device, in the order the links lead.
    std::vector<std::string> names() const { return m_names; }
    // Closes the probe descriptor and so gives up the claim; call it once the serial layer has
    // closed the port (or failed to open it).
    void release();

private:
    PortClaim(std::vector<std::string> names, int fd);

    std::vector<std::string> m_names;
    std::string m_device;
    int m_fd = -1;
};

// What can be said about a port name without opening anything: missing, not a serial device,
// the terminal of process N, not openable by this user, locked by process N. Empty when nothing
// stands in the way. A lock whose holder has ended is no obstacle (a claim removes it).
std::optional<OpenRefusal> checkWithoutOpening(const std::string &path,
                                               const PortClaim::Options &options = {});

// Why the serial layer could not make its lock file for path: the file, in the first lock
// directory it would use, and the system's reason (e.g. no space left there). Nothing when a file
// can be made there, which this finds out by making one and removing it again.
std::optional<OpenRefusal> lockFileObstacle(const std::string &path,
                                            const PortClaim::Options &options = {});

// The lock files that would name this device: in every lock directory, for every name from path
// to the device, the classic LCK..<basename> and the serial layer's own LCK..<name with '_'>.
std::vector<std::string> lockFileCandidates(const std::string &path,
                                            const PortClaim::Options &options = {});
