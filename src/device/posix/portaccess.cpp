// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "../portaccess.h"

#include "../systemerror.h"
#include "fdio.h"
#include "lockfile.h"
#include "paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <set>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

using namespace PosixPaths;

namespace {

// The serial layer treats a lock it cannot read as stale after this long.
constexpr std::int64_t UnreadableLockSeconds = 30;

enum class Mode {
    Claim, // may remove stale locks, goes on to open
    Look,  // changes nothing
};

// Where the serial layer puts its locks, in its order of preference (it uses the first
// it can write to, so another program's lock may be in any of them).
const std::vector<std::string> &serialLayerLockDirs()
{
    static const std::vector<std::string> dirs = {
        "/var/lock", "/etc/locks", "/var/spool/locks",  "/var/spool/uucp",
        "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock",
    };
    return dirs;
}

const std::vector<std::string> &lockDirsOf(const std::vector<std::string> &given)
{
    return given.empty() ? serialLayerLockDirs() : given;
}

// A small file of the kernel's or a lock file, read whole up to most bytes. Plain reads: this
// runs once for every process when looking for a terminal's owner.
std::optional<std::string> readFile(const std::string &path, size_t most = 1 << 20)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string data;
    char chunk[4096];
    while (data.size() < most) {
        const ssize_t count = ::read(fd, chunk, std::min(sizeof chunk, most - data.size()));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        data.append(chunk, size_t(count));
    }
    ::close(fd);
    return data;
}

std::string trimmed(const std::string &text)
{
    const char *blanks = " \t\n\r\f\v";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// The words of a text, as QByteArray::simplified().split(' ') gives them.
std::vector<std::string> words(const std::string &text)
{
    const char *blanks = " \t\n\r\f\v";
    std::vector<std::string> result;
    size_t at = text.find_first_not_of(blanks);
    while (at != std::string::npos) {
        const size_t end = text.find_first_of(blanks, at);
        result.push_back(text.substr(at, end - at));
        at = text.find_first_not_of(blanks, end);
    }
    if (result.empty())
        result.emplace_back();
    return result;
}

// A whole decimal number, as QByteArray::toLongLong() reads one.
std::optional<std::int64_t> wholeNumber(const std::string &text, int base = 10)
{
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, base);
    if (errno != 0 || end != text.c_str() + text.size())
        return std::nullopt;
    return value;
}

std::string hostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

struct Resolution
{
    std::vector<std::string> names; // as given, through each link, to the device
    bool exists = false;
    std::string systemText; // why resolving failed, other than a missing target
};

Resolution resolve(const std::string &path)
{
    constexpr int MostLinks = 40; // the kernel's own limit
    Resolution resolution;
    std::string current = absolutePortName(path);
    resolution.names.push_back(current);
    for (int hop = 0;; ++hop) {
        if (!isSymLink(current))
            break;
        if (hop == MostLinks) {
            resolution.systemText = systemErrorText(ELOOP);
            return resolution;
        }
        current = symLinkTarget(current);
        if (std::find(resolution.names.begin(), resolution.names.end(), current) !=
            resolution.names.end()) {
            resolution.systemText = systemErrorText(ELOOP);
            return resolution;
        }
        resolution.names.push_back(current);
    }
    // Links in the directories on the way.
    const std::string canonical = canonicalPath(current);
    resolution.exists = !canonical.empty();
    if (resolution.exists && canonical != current)
        resolution.names.push_back(canonical);
    return resolution;
}

OpenRefusal refusal(const Resolution &resolution, const std::string &path, OpenFailure failure,
                    InUseBy by = InUseBy::Nobody)
{
    OpenRefusal result;
    result.failure = failure;
    result.by = by;
    result.path = path;
    result.device = resolution.names.back();
    return result;
}

std::string qtLockName(const std::string &name)
{
    std::string lockName = name.rfind("/dev/", 0) == 0 ? name.substr(5) : name;
    std::replace(lockName.begin(), lockName.end(), '/', '_');
    return "LCK.." + lockName;
}

std::vector<std::string> candidatesFor(const std::vector<std::string> &names,
                                       const PortClaim::Options &options)
{
    std::vector<std::string> fileNames;
    for (const std::string &name : names) {
        for (const std::string &candidate : {"LCK.." + fileName(name), qtLockName(name)}) {
            if (std::find(fileNames.begin(), fileNames.end(), candidate) == fileNames.end())
                fileNames.push_back(candidate);
        }
    }
    std::vector<std::string> files;
    std::set<std::string> seenDirs;
    for (const std::string &dir : lockDirsOf(options.lockDirs)) {
        // /var/lock is usually a link to /run/lock: one directory, looked at once.
        const std::string canonical = canonicalPath(dir);
        if (canonical.empty() || !seenDirs.insert(canonical).second)
            continue;
        for (const std::string &candidate : fileNames)
            files.push_back(canonical + "/" + candidate);
    }
    return files;
}

// Why a character device is no serial port, or nothing when it is a candidate.
std::optional<std::string> notSerial(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return "regular file";
    if (S_ISDIR(st.st_mode))
        return "directory";
    if (S_ISFIFO(st.st_mode))
        return "FIFO";
    if (S_ISSOCK(st.st_mode))
        return "socket";
    if (S_ISBLK(st.st_mode))
        return "block device";
    if (!S_ISCHR(st.st_mode))
        return "not a device";
    const unsigned int maj = major(st.st_rdev);
    const unsigned int min = minor(st.st_rdev);
    if (maj == 5 && min == 0)
        return "the terminal of whichever process opens it";
    if (maj == 5 && min == 1)
        return "the system console";
    if (maj == 5 && min == 2)
        return "the pseudo-terminal multiplexer";
    if (maj == 4 && min < 64)
        return "a virtual console";
    // Unix98 pseudo-terminal slaves have no sysfs entry.
    if (maj >= 136 && maj <= 143)
        return std::nullopt;
    // Anything else is not even opened: opening some devices (a watchdog) does something.
    const std::string subsystem =
        "/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(min) + "/subsystem";
    if (fileName(canonicalPath(subsystem)) == "tty")
        return std::nullopt;
    return "character device " + std::to_string(maj) + ":" + std::to_string(min) +
           ", not a terminal";
}

std::string processName(std::int64_t pid)
{
    return trimmed(readFile("/proc/" + std::to_string(pid) + "/comm").value_or(std::string()));
}

struct TerminalOwner
{
    std::int64_t pid = 0;
    std::string name;
};

constexpr std::uint64_t KernelThreadFlag = 0x00200000; // PF_KTHREAD

// What a process's stat says of its state, session and terminal.
struct ProcessStat
{
    std::string name;
    char state = '?';
    std::int64_t session = 0;
    std::uint32_t ttyNr = 0;
    std::uint64_t flags = 0;
};

// Reads /proc/<entry>/stat with three calls; a process that ended gives nothing.
std::optional<ProcessStat> processStat(int procFd, const char *entry)
{
    char path[NAME_MAX + 8];
    std::snprintf(path, sizeof path, "%s/stat", entry);
    const int fd = ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    // Enough for the name and the fields up to flags; the rest may be cut off.
    char buffer[1024];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (count <= 0)
        return std::nullopt;
    const std::string_view stat(buffer, size_t(count));
    // The name may hold spaces and parentheses; the fields start after the last ')'.
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    // state ppid pgrp session tty_nr tpgid flags ...
    std::int64_t fields[7] = {};
    size_t at = close + 2;
    for (std::int64_t &field : fields) {
        if (at >= stat.size())
            return std::nullopt;
        const size_t end = std::min(stat.find(' ', at), stat.size());
        field = wholeNumber(std::string(stat.substr(at, end - at))).value_or(0);
        at = end + 1;
    }
    return ProcessStat{std::string(stat.substr(open + 1, close - open - 1)), stat[close + 2],
                       fields[3], std::uint32_t(fields[4]), std::uint64_t(fields[6])};
}

// Kernel threads never have a terminal, and they are the children of kthreadd (pid 2 where
// /proc shows the kernel's own threads), listed in one file: most of a quiet system's
// processes are passed over with one call instead of three. kthreadd also parents the
// kernel's user-mode helpers (a core dump handler, a hotplug program), which are ordinary
// programs: a child counts as a kernel thread only when it has no program file. Sorted.
std::vector<std::int64_t> kernelThreads(int procFd)
{
    const auto withoutProgram = [procFd](const std::string &pid) {
        char path[NAME_MAX + 8];
        std::snprintf(path, sizeof path, "%s/exe", pid.c_str());
        char target[8];
        return ::readlinkat(procFd, path, target, sizeof target) < 0 && errno == ENOENT;
    };
    const std::optional<ProcessStat> kthreadd = processStat(procFd, "2");
    if (!kthreadd || !(kthreadd->flags & KernelThreadFlag))
        return {};
    const std::optional<std::string> children = readFile("/proc/2/task/2/children");
    if (!children)
        return {2};
    std::vector<std::int64_t> pids{2};
    for (const std::string &word : words(*children)) {
        const std::optional<std::int64_t> pid = wholeNumber(word);
        if (pid && withoutProgram(word))
            pids.push_back(*pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// The process whose controlling terminal the device is: the session leader when it is
// still there, otherwise the lowest pid with it.
std::optional<TerminalOwner> terminalOwner(dev_t device)
{
    std::optional<TerminalOwner> lowest;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return std::nullopt;
    const int procFd = ::dirfd(proc);
    const std::vector<std::int64_t> kernel = kernelThreads(procFd);
    while (const dirent *entry = ::readdir(proc)) {
        const std::optional<std::int64_t> pid = wholeNumber(entry->d_name);
        if (!pid || std::binary_search(kernel.begin(), kernel.end(), *pid))
            continue;
        const std::optional<ProcessStat> stat = processStat(procFd, entry->d_name);
        if (!stat)
            continue;
        const unsigned int ttyMajor = (stat->ttyNr >> 8) & 0xfff;
        const unsigned int ttyMinor = (stat->ttyNr & 0xff) | ((stat->ttyNr >> 12) & 0xfff00);
        if (stat->ttyNr == 0 || ttyMajor != major(device) || ttyMinor != minor(device))
            continue;
        TerminalOwner owner{*pid, stat->name};
        if (*pid == stat->session) {
            ::closedir(proc);
            return owner;
        }
        if (!lowest || *pid < lowest->pid)
            lowest = owner;
    }
    ::closedir(proc);
    return lowest;
}

// The group whose members may open the device, when joining it would help.
std::string groupToJoin(const struct stat &st)
{
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    const struct group *entry = ::getgrgid(st.st_gid);
    return entry ? std::string(entry->gr_name) : std::to_string(st.st_gid);
}

struct LockContent
{
    std::int64_t pid = 0; // 0: names no process
    std::string appName;
    std::string host;
};

LockContent parseLock(const std::string &data)
{
    LockContent content;
    // A binary pid can begin like a short line of digits ("1\n", then two more bytes), but
    // text never has bytes below a blank but for line ends.
    const bool isBinary =
        data.size() == sizeof(std::int32_t) && std::any_of(data.cbegin(), data.cend(), [](char c) {
            return static_cast<unsigned char>(c) < ' ' && c != '\n' && c != '\r' && c != '\t';
        });
    const std::vector<std::string> lines = split(data, '\n');
    const auto line = [&](size_t i) {
        return i < lines.size() ? trimmed(lines[i]) : std::string();
    };
    const std::optional<std::int64_t> pid = wholeNumber(line(0));
    if (!isBinary && pid) {
        // Classic: the pid in ten characters. The serial layer's own: pid, program, host.
        content.pid = *pid;
        content.appName = line(1);
        content.host = line(2);
    } else if (data.size() == sizeof(std::int32_t)) {
        // The oldest format: the pid as a binary int.
        std::int32_t binary = 0;
        std::memcpy(&binary, data.data(), sizeof binary);
        content.pid = binary;
    }
    if (content.pid <= 0 || content.pid > std::numeric_limits<pid_t>::max())
        content.pid = 0;
    return content;
}

// Whether the pid names a process that can hold a lock. A kernel thread never made one, and a
// process that has ended but is not yet reaped holds nothing: both reuse the pid of a holder
// that has gone. A process whose stat cannot be read counts as alive.
bool processAlive(std::int64_t pid)
{
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    const std::optional<ProcessStat> stat =
        processStat(AT_FDCWD, ("/proc/" + std::to_string(pid)).c_str());
    return !stat || (stat->state != 'Z' && !(stat->flags & KernelThreadFlag));
}

// Whether unlink(file) would succeed for this user, for looking without removing.
int removalError(const std::string &file)
{
    const std::string dir = dirName(file);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    struct stat dirStat
    {
    };
    struct stat fileStat
    {
    };
    if (::stat(dir.c_str(), &dirStat) != 0 || ::lstat(file.c_str(), &fileStat) != 0)
        return errno;
    const uid_t me = ::geteuid();
    if ((dirStat.st_mode & S_ISVTX) && me != 0 && me != dirStat.st_uid && me != fileStat.st_uid)
        return EPERM;
    return 0;
}

// A lock file that stands in the way, or nothing (absent, or stale and removed in Claim mode).
std::optional<OpenRefusal> checkLock(const std::string &file, Mode mode, OpenRefusal base)
{
    base.failure = OpenFailure::InUse;
    base.by = InUseBy::Lock;
    base.lockFile = file;

    struct stat st
    {
    };
    if (::lstat(file.c_str(), &st) != 0)
        return std::nullopt;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        base.systemText = systemErrorText(errno);
        return base;
    }
    std::string data(4096, '\0');
    ssize_t count;
    while ((count = ::read(fd, data.data(), data.size())) < 0 && errno == EINTR) {
    }
    ::close(fd);
    data.resize(count > 0 ? size_t(count) : 0);
    const LockContent content = parseLock(data);

    if (content.pid > 0) {
        base.pid = content.pid;
        if (!content.host.empty() && content.host != hostName()) {
            // Whether it lives cannot be told from here.
            base.detail = content.host;
            return base;
        }
        if (processAlive(content.pid)) {
            base.processName = processName(content.pid);
            if (base.processName.empty())
                base.processName = content.appName;
            return base;
        }
        base.processName = content.appName;
    } else {
        struct stat modified
        {
        };
        const std::int64_t age =
            ::stat(file.c_str(), &modified) == 0 ? std::time(nullptr) - modified.st_mtime : 0;
        // A lock dated well ahead of the clock was made before the clock went back: its
        // age cannot be told.
        if (age < UnreadableLockSeconds && age > -UnreadableLockSeconds)
            return base;
    }

    // Stale: its holder has ended.
    int error = 0;
    if (mode == Mode::Claim)
        error = ::unlink(file.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    else
        error = removalError(file);
    if (error == 0)
        return std::nullopt;
    base.stale = true;
    base.systemText = systemErrorText(error);
    return base;
}

// Whether the kernel writes its console to the device: its own list names it by number, the
// active list by name under /dev.
bool isSystemConsole(dev_t device, const PortClaim::Options &options)
{
    if (const std::optional<std::string> list =
            readFile(options.consoleList.empty() ? "/proc/consoles" : options.consoleList)) {
        // "ttyS0                -W- (EC  p a)    4:64": the numbers come last.
        for (const std::string &line : split(*list, '\n')) {
            const std::vector<std::string> number = split(words(line).back(), ':');
            if (number.size() != 2)
                continue;
            const std::optional<std::int64_t> maj = wholeNumber(number[0]);
            const std::optional<std::int64_t> min = wholeNumber(number[1]);
            if (maj && min && *maj == major(device) && *min == minor(device))
                return true;
        }
    }
    if (const std::optional<std::string> active =
            readFile(options.activeConsoles.empty() ? "/sys/class/tty/console/active"
                                                    : options.activeConsoles)) {
        for (const std::string &name : words(*active)) {
            struct stat st
            {
            };
            if (!name.empty() && ::stat(("/dev/" + name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == device)
                return true;
        }
    }
    return false;
}

std::string hex2(unsigned int value)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    if (text.size() < 2)
        text.insert(text.begin(), '0');
    return text;
}

// The process that holds the device node itself locked with flock(), 0 when the kernel does
// not say which, or nothing when it is not locked.
std::optional<std::int64_t> deviceLockHolder(const struct stat &st)
{
    const std::optional<std::string> locks = readFile("/proc/locks");
    if (!locks)
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF"; a waiter has "->" after the number.
    const std::string node = hex2(major(st.st_dev)) + ":" + hex2(minor(st.st_dev)) + ":" +
                             std::to_string(std::uint64_t(st.st_ino));
    for (const std::string &line : split(*locks, '\n')) {
        const std::vector<std::string> fields = words(line);
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == node) {
            const std::int64_t pid = wholeNumber(fields[4]).value_or(0);
            return pid > 0 ? pid : 0;
        }
    }
    return std::nullopt;
}

OpenRefusal deviceLocked(const Resolution &resolution, const std::string &path,
                         const struct stat &st)
{
    OpenRefusal locked = refusal(resolution, path, OpenFailure::InUse, InUseBy::DeviceLock);
    locked.pid = deviceLockHolder(st).value_or(0);
    if (locked.pid > 0)
        locked.processName = processName(locked.pid);
    return locked;
}

// Every rule about the device itself that needs no descriptor, in order. Fills st.
std::optional<OpenRefusal> checkDevice(const std::string &path, const Resolution &resolution,
                                       const PortClaim::Options &options, Mode mode,
                                       struct stat &st)
{
    if (!resolution.exists) {
        OpenRefusal missing = refusal(resolution, path, OpenFailure::NoSuchDevice);
        missing.systemText = resolution.systemText;
        return missing;
    }
    const std::string &device = resolution.names.back();
    if (::stat(device.c_str(), &st) != 0) {
        const int error = errno;
        OpenRefusal failed = refusal(
            resolution, path, error == ENOENT ? OpenFailure::NoSuchDevice : OpenFailure::Other);
        failed.systemText = systemErrorText(error);
        return failed;
    }
    if (const std::optional<std::string> what = notSerial(st)) {
        OpenRefusal wrong = refusal(resolution, path, OpenFailure::NotSerial);
        wrong.detail = *what;
        return wrong;
    }
    // Even with no getty on it: whatever the board would make of the kernel's messages, they
    // are not ours to interleave with commands.
    if (isSystemConsole(st.st_rdev, options))
        return refusal(resolution, path, OpenFailure::InUse, InUseBy::SystemConsole);
    if (const std::optional<TerminalOwner> owner = terminalOwner(st.st_rdev)) {
        OpenRefusal terminal =
            refusal(resolution, path, OpenFailure::InUse, InUseBy::ControllingTerminal);
        terminal.pid = owner->pid;
        terminal.processName = owner->name;
        return terminal;
    }
    if (mode == Mode::Look && ::faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM)) {
        OpenRefusal denied = refusal(resolution, path, OpenFailure::PermissionDenied);
        denied.detail = groupToJoin(st);
        return denied;
    }
    return std::nullopt;
}

std::optional<OpenRefusal> checkLockFiles(const std::string &path, const Resolution &resolution,
                                          const std::vector<std::string> &candidates, Mode mode)
{
    const OpenRefusal base = refusal(resolution, path, OpenFailure::InUse, InUseBy::Lock);
    for (const std::string &file : candidates) {
        if (std::optional<OpenRefusal> locked = checkLock(file, mode, base))
            return locked;
    }
    return std::nullopt;
}

std::string classicLockContent()
{
    std::string pid = std::to_string(::getpid());
    if (pid.size() < 10)
        pid.insert(0, 10 - pid.size(), ' ');
    return pid + "\n" + hostName() + "\n";
}

// Why no file can be made in dir, as the serial layer makes its lock: 0 when one can.
int fileMakingError(const std::string &dir)
{
    std::string name = dir + "/.probe-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    // A full file system may still have room for a name but not for the lock's content.
    const std::string content = classicLockContent();
    int error = 0;
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written != ssize_t(content.size()))
        error = written < 0 ? errno : ENOSPC;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    ::unlink(name.c_str());
    return error;
}

std::string firstLine(const std::string &file)
{
    return trimmed(split(readFile(file, 256).value_or(std::string()), '\n').front());
}

} // namespace

std::string absolutePortName(const std::string &path)
{
    if (!path.empty() && path.front() == '/')
        return cleanPath(path);
    // The serial layer reads a bare name as a device under /dev; a path with a folder in it is
    // where the user is.
    if (path.find('/') == std::string::npos)
        return cleanPath("/dev/" + path);
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    return cleanPath((here / path).string());
}

std::variant<PortClaim, OpenRefusal> PortClaim::claim(const std::string &path,
                                                      const Options &options)
{
    const Resolution resolution = resolve(path);
    struct stat st
    {
    };
    if (std::optional<OpenRefusal> refused =
            checkDevice(path, resolution, options, Mode::Claim, st))
        return *refused;
    // A live holder's lock refuses before the device is even opened.
    const std::vector<std::string> lockFiles = candidatesFor(resolution.names, options);
    if (std::optional<OpenRefusal> locked = checkLockFiles(path, resolution, lockFiles, Mode::Look))
        return *locked;

    const std::string &device = resolution.names.back();
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        OpenRefusal failed = refusal(resolution, path, OpenFailure::Other);
        failed.systemText = systemErrorText(error);
        switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
            failed.failure = OpenFailure::NoSuchDevice;
            break;
        case EACCES:
        case EPERM:
            failed.failure = OpenFailure::PermissionDenied;
            failed.detail = groupToJoin(st);
            break;
        case EBUSY:
            failed.failure = OpenFailure::InUse;
            failed.by = InUseBy::ExclusiveMode;
            break;
        default:
            break;
        }
        return failed;
    }
    const auto refuse = [fd](OpenRefusal refused) {
        ::close(fd);
        return refused;
    };

    // The one step that cannot race: two claims that both found a stale lock file would
    // otherwise each remove the other's fresh one. Nothing is removed or made before it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK)
            return refuse(deviceLocked(resolution, path, st));
        OpenRefusal failed = refusal(resolution, path, OpenFailure::Other);
        failed.systemText = systemErrorText(error);
        return refuse(failed);
    }

    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        OpenRefusal wrong = refusal(resolution, path, OpenFailure::NotSerial);
        wrong.detail = "takes no terminal settings";
        wrong.systemText = systemErrorText(errno);
        return refuse(wrong);
    }
#ifdef TIOCGEXCL
    // Root's open gets through another program's exclusive mode; the flag still tells.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return refuse(refusal(resolution, path, OpenFailure::InUse, InUseBy::ExclusiveMode));
#endif
    if (std::optional<OpenRefusal> locked =
            checkLockFiles(path, resolution, lockFiles, Mode::Claim))
        return refuse(*locked);
    return PortClaim(resolution.names, fd);
}

PortClaim::PortClaim(std::vector<std::string> names, int fd)
    : m_names(std::move(names)), m_device(m_names.back()), m_fd(fd)
{}

PortClaim::PortClaim(PortClaim &&other) noexcept
    : m_names(std::move(other.m_names)), m_device(std::move(other.m_device)),
      m_fd(std::exchange(other.m_fd, -1))
{}

PortClaim &PortClaim::operator=(PortClaim &&other) noexcept
{
    if (this != &other) {
        release();
        m_names = std::move(other.m_names);
        m_device = std::move(other.m_device);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

PortClaim::~PortClaim()
{
    release();
}

void PortClaim::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::optional<OpenRefusal> checkWithoutOpening(const std::string &path,
                                               const PortClaim::Options &options)
{
    const Resolution resolution = resolve(path);
    struct stat st
    {
    };
    if (std::optional<OpenRefusal> refused = checkDevice(path, resolution, options, Mode::Look, st))
        return refused;
    if (std::optional<OpenRefusal> locked =
            checkLockFiles(path, resolution, candidatesFor(resolution.names, options), Mode::Look))
        return locked;
    if (deviceLockHolder(st))
        return deviceLocked(resolution, path, st);
    return std::nullopt;
}

std::optional<OpenRefusal> lockFileObstacle(const std::string &path,
                                            const PortClaim::Options &options)
{
    const Resolution resolution = resolve(path);
    const std::string name = qtLockName(resolution.names.back());
    OpenRefusal obstacle = refusal(resolution, path, OpenFailure::Other);
    std::optional<OpenRefusal> unusable;
    // The serial layer's choice: the first directory it may read that holds the file already
    // or may be written to.
    for (const std::string &dir : lockDirsOf(options.lockDirs)) {
        obstacle.lockFile = dir + "/" + name;
        int error = 0;
        if (::faccessat(AT_FDCWD, dir.c_str(), R_OK, AT_EACCESS) != 0 ||
            (!exists(obstacle.lockFile) &&
             ::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) != 0))
            error = errno;
        if (error != 0) {
            // No directory at all: then the first one it would have used is the one to name.
            if (!unusable) {
                obstacle.systemText = systemErrorText(error);
                unusable = obstacle;
            }
            continue;
        }
        error = fileMakingError(dir);
        if (error == 0)
            return std::nullopt;
        obstacle.systemText = systemErrorText(error);
        return obstacle;
    }
    return unusable;
}

std::vector<std::string> lockFileCandidates(const std::string &path,
                                            const PortClaim::Options &options)
{
    return candidatesFor(resolve(path).names, options);
}

std::string SerialLockFile::pathFor(const std::string &device,
                                    const std::vector<std::string> &lockDirs)
{
    const std::string name = qtLockName(device);
    for (const std::string &dir : lockDirsOf(lockDirs)) {
        const std::string file = dir + "/" + name;
        if (::faccessat(AT_FDCWD, dir.c_str(), R_OK, AT_EACCESS) == 0 &&
            (exists(file) || ::faccessat(AT_FDCWD, dir.c_str(), W_OK, AT_EACCESS) == 0))
            return file;
    }
    return {};
}

int SerialLockFile::make(const std::string &file)
{
    remove();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    // As the serial layer writes it: pid, program, host, machine and boot, a line each.
    std::string program = symLinkTarget("/proc/self/exe");
    program = fileName(program);
    const std::string content = std::to_string(::getpid()) + "\n" + program + "\n" + hostName() +
                                "\n" + firstLine("/etc/machine-id") + "\n" +
                                firstLine("/proc/sys/kernel/random/boot_id") + "\n";
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written != ssize_t(content.size())) {
        const int error = written < 0 ? errno : ENOSPC;
        ::close(fd);
        ::unlink(file.c_str());
        return error;
    }
    // Programs that lock the file itself see it held as well.
    ::flock(fd, LOCK_EX | LOCK_NB);
    m_file = file;
    m_fd = fd;
    return 0;
}

void SerialLockFile::remove()
{
    if (m_file.empty())
        return;
    ::unlink(m_file.c_str());
    FdIo::closeFd(m_fd);
    m_file.clear();
}

SerialLockFile::SerialLockFile(SerialLockFile &&other) noexcept
    : m_file(std::exchange(other.m_file, {})), m_fd(std::exchange(other.m_fd, -1))
{}

SerialLockFile &SerialLockFile::operator=(SerialLockFile &&other) noexcept
{
    if (this != &other) {
        remove();
        m_file = std::exchange(other.m_file, {});
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}
