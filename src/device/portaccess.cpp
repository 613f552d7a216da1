// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "portaccess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSysInfo>

#include <algorithm>
#include <limits>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#endif

namespace {

// The serial layer treats a lock it cannot read as stale after this long.
constexpr qint64 UnreadableLockSeconds = 30;

QString describedProcess(qint64 pid, const QString &name)
{
    return name.isEmpty() ? QStringLiteral("process %1").arg(pid)
                          : QStringLiteral("process %1 (%2)").arg(pid).arg(name);
}

} // namespace

QString absolutePortName(const QString &path)
{
    if (path.startsWith(QLatin1Char('/')))
        return QDir::cleanPath(path);
    // The serial layer reads a bare name as a device under /dev; a path with a folder in it is
    // where the user is.
    if (!path.contains(QLatin1Char('/')))
        return QDir::cleanPath(QStringLiteral("/dev/") + path);
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

QString OpenRefusal::text() const
{
    switch (failure) {
    case OpenFailure::NoSuchDevice:
        if (!systemText.isEmpty())
            return QStringLiteral("%1 names no device present (%2)").arg(path, systemText);
        if (!device.isEmpty() && device != absolutePortName(path))
            return QStringLiteral("%1 links to %2, which does not exist").arg(path, device);
        return QStringLiteral("%1 does not exist")
            .arg(path.contains(QLatin1Char('/')) || device.isEmpty() ? path : device);
    case OpenFailure::NotSerial:
        return QStringLiteral("%1 is not a serial device (%2)").arg(path, detail);
    case OpenFailure::PermissionDenied:
        if (!detail.isEmpty()) {
            return QStringLiteral("permission denied: add your user to the %1 group to use %2 "
                                  "(then log in again)")
                .arg(detail, device);
        }
        return QStringLiteral("permission denied: this user may not open %1").arg(device);
    case OpenFailure::InUse:
        switch (by) {
        case InUseBy::ControllingTerminal:
            return QStringLiteral("%1 is the terminal of %2")
                .arg(path, describedProcess(pid, processName));
        case InUseBy::ExclusiveMode:
            return QStringLiteral("in use: another program holds %1 in exclusive mode").arg(device);
        case InUseBy::DeviceLock:
            if (pid > 0)
                return QStringLiteral("in use: %1 holds %2 locked")
                    .arg(describedProcess(pid, processName), device);
            return QStringLiteral("in use: another program holds %1 locked").arg(device);
        case InUseBy::SystemConsole:
            return QStringLiteral("%1 is the system console").arg(path);
        case InUseBy::Lock:
            if (stale && pid > 0) {
                return QStringLiteral(
                           "stale lock %1 of process %2, which has ended, could not be removed: %3")
                    .arg(lockFile, QString::number(pid), systemText);
            }
            if (stale)
                return QStringLiteral("stale lock %1 could not be removed: %2")
                    .arg(lockFile, systemText);
            if (!systemText.isEmpty())
                return QStringLiteral("in use: lock %1 could not be read: %2")
                    .arg(lockFile, systemText);
            if (pid <= 0) {
                return QStringLiteral("in use: lock %1 names no process and is less than %2 s old")
                    .arg(lockFile, QString::number(UnreadableLockSeconds));
            }
            if (!detail.isEmpty()) {
                return QStringLiteral("in use: lock %1 held by process %2 on host %3")
                    .arg(lockFile, QString::number(pid), detail);
            }
            return QStringLiteral("in use: lock %1 held by %2")
                .arg(lockFile, describedProcess(pid, processName));
        case InUseBy::RemoteClient:
            if (!detail.isEmpty())
                return QStringLiteral("busy: another client holds %1 (the server said: %2)")
                    .arg(device, detail);
            return QStringLiteral("busy: another client holds %1").arg(device);
        case InUseBy::Nobody:
            break;
        }
        return QStringLiteral("%1 is in use").arg(path);
    case OpenFailure::Other:
        if (!lockFile.isEmpty())
            return QStringLiteral("%1 could not be locked: cannot make %2: %3")
                .arg(path, lockFile, systemText);
        break;
    case OpenFailure::Unreachable:
        if (!detail.isEmpty())
            return detail;
        return QStringLiteral("%1 cannot be reached: %2").arg(path, systemText);
    }
    return QStringLiteral("%1 could not be opened: %2").arg(path, systemText);
}

#ifdef Q_OS_UNIX

namespace {

enum class Mode {
    Claim, // may remove stale locks, goes on to open
    Look,  // changes nothing
};

// Where the serial layer puts its locks, in its order of preference (it uses the first
// it can write to, so another program's lock may be in any of them).
const QStringList &serialLayerLockDirs()
{
    static const QStringList dirs = {
        QStringLiteral("/var/lock"),
        QStringLiteral("/etc/locks"),
        QStringLiteral("/var/spool/locks"),
        QStringLiteral("/var/spool/uucp"),
        QStringLiteral("/tmp"),
        QStringLiteral("/var/tmp"),
        QStringLiteral("/var/lock/lockdev"),
        QStringLiteral("/run/lock"),
    };
    return dirs;
}

QString errorText(int error)
{
    return qt_error_string(error);
}

struct Resolution
{
    QStringList names; // as given, through each link, to the device
    bool exists = false;
    QString systemText; // why resolving failed, other than a missing target
};

Resolution resolve(const QString &path)
{
    constexpr int MostLinks = 40; // the kernel's own limit
    Resolution resolution;
    QString current = absolutePortName(path);
    resolution.names << current;
    for (int hop = 0;; ++hop) {
        const QFileInfo info(current);
        if (!info.isSymLink())
            break;
        if (hop == MostLinks) {
            resolution.systemText = errorText(ELOOP);
            return resolution;
        }
        current = QDir::cleanPath(info.symLinkTarget());
        if (resolution.names.contains(current)) {
            resolution.systemText = errorText(ELOOP);
            return resolution;
        }
        resolution.names << current;
    }
    // Links in the directories on the way.
    const QString canonical = QFileInfo(current).canonicalFilePath();
    resolution.exists = !canonical.isEmpty();
    if (resolution.exists && canonical != current)
        resolution.names << canonical;
    return resolution;
}

OpenRefusal refusal(const Resolution &resolution, const QString &path, OpenFailure failure,
                    InUseBy by = InUseBy::Nobody)
{
    OpenRefusal result;
    result.failure = failure;
    result.by = by;
    result.path = path;
    result.device = resolution.names.last();
    return result;
}

QString qtLockName(const QString &name)
{
    QString lockName = name.startsWith(QLatin1String("/dev/")) ? name.mid(5) : name;
    lockName.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + lockName;
}

QStringList candidatesFor(const QStringList &names, const PortClaim::Options &options)
{
    const QStringList &dirs = options.lockDirs.isEmpty() ? serialLayerLockDirs() : options.lockDirs;
    QStringList fileNames;
    for (const QString &name : names) {
        for (const QString &fileName :
             {QStringLiteral("LCK..") + QFileInfo(name).fileName(), qtLockName(name)}) {
            if (!fileNames.contains(fileName))
                fileNames << fileName;
        }
    }
    QStringList files;
    QSet<QString> seenDirs;
    for (const QString &dir : dirs) {
        // /var/lock is usually a link to /run/lock: one directory, looked at once.
        const QString canonical = QFileInfo(dir).canonicalFilePath();
        if (canonical.isEmpty() || seenDirs.contains(canonical))
            continue;
        seenDirs.insert(canonical);
        for (const QString &fileName : std::as_const(fileNames))
            files << canonical + QLatin1Char('/') + fileName;
    }
    return files;
}

// Why a character device is no serial port, or nothing when it is a candidate.
std::optional<QString> notSerial(const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return QStringLiteral("regular file");
    if (S_ISDIR(st.st_mode))
        return QStringLiteral("directory");
    if (S_ISFIFO(st.st_mode))
        return QStringLiteral("FIFO");
    if (S_ISSOCK(st.st_mode))
        return QStringLiteral("socket");
    if (S_ISBLK(st.st_mode))
        return QStringLiteral("block device");
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("not a device");
#ifdef Q_OS_LINUX
    const unsigned int maj = major(st.st_rdev);
    const unsigned int min = minor(st.st_rdev);
    if (maj == 5 && min == 0)
        return QStringLiteral("the terminal of whichever process opens it");
    if (maj == 5 && min == 1)
        return QStringLiteral("the system console");
    if (maj == 5 && min == 2)
        return QStringLiteral("the pseudo-terminal multiplexer");
    if (maj == 4 && min < 64)
        return QStringLiteral("a virtual console");
    // Unix98 pseudo-terminal slaves have no sysfs entry.
    if (maj >= 136 && maj <= 143)
        return std::nullopt;
    // Anything else is not even opened: opening some devices (a watchdog) does something.
    const QFileInfo subsystem(QStringLiteral("/sys/dev/char/%1:%2/subsystem").arg(maj).arg(min));
    if (QFileInfo(subsystem.canonicalFilePath()).fileName() == QLatin1String("tty"))
        return std::nullopt;
    return QStringLiteral("character device %1:%2, not a terminal").arg(maj).arg(min);
#else
    return std::nullopt;
#endif
}

QString processName(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll().trimmed());
}

struct TerminalOwner
{
    qint64 pid = 0;
    QString name;
};

// The process whose controlling terminal the device is: the session leader when it is
// still there, otherwise the lowest pid with it.
std::optional<TerminalOwner> terminalOwner(dev_t device)
{
#ifdef Q_OS_LINUX
    std::optional<TerminalOwner> lowest;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile statFile(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!statFile.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = statFile.readAll();
        // The name may hold spaces and parentheses; the fields start after the last ')'.
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        // state ppid pgrp session tty_nr ...
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() < 5)
            continue;
        const qint64 session = fields.at(3).toLongLong();
        const quint32 ttyNr = quint32(fields.at(4).toLongLong());
        const unsigned int ttyMajor = (ttyNr >> 8) & 0xfff;
        const unsigned int ttyMinor = (ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00);
        if (ttyNr == 0 || ttyMajor != major(device) || ttyMinor != minor(device))
            continue;
        TerminalOwner owner{pid, QString::fromLocal8Bit(stat.mid(open + 1, close - open - 1))};
        if (pid == session)
            return owner;
        if (!lowest || pid < lowest->pid)
            lowest = owner;
    }
    return lowest;
#else
    Q_UNUSED(device);
    return std::nullopt;
#endif
}

// The group whose members may open the device, when joining it would help.
QString groupToJoin(const struct stat &st)
{
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP))
        return {};
    const struct group *entry = ::getgrgid(st.st_gid);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(st.st_gid);
}

struct LockContent
{
    qint64 pid = 0; // 0: names no process
    QString appName;
    QString host;
};

LockContent parseLock(const QByteArray &data)
{
    LockContent content;
    // A binary pid can begin like a short line of digits ("1\n", then two more bytes), but
    // text never has bytes below a blank but for line ends.
    const bool isBinary =
        data.size() == int(sizeof(qint32)) && std::any_of(data.cbegin(), data.cend(), [](char c) {
            return uchar(c) < ' ' && c != '\n' && c != '\r' && c != '\t';
        });
    const QList<QByteArray> lines = data.split('\n');
    bool isNumber = false;
    const qint64 pid = lines.value(0).trimmed().toLongLong(&isNumber);
    if (!isBinary && isNumber) {
        // Classic: the pid in ten characters. The serial layer's own: pid, program, host.
        content.pid = pid;
        content.appName = QString::fromLocal8Bit(lines.value(1).trimmed());
        content.host = QString::fromLocal8Bit(lines.value(2).trimmed());
    } else if (data.size() == int(sizeof(qint32))) {
        // The oldest format: the pid as a binary int.
        qint32 binary = 0;
        std::memcpy(&binary, data.constData(), sizeof binary);
        content.pid = binary;
    }
    if (content.pid <= 0 || content.pid > std::numeric_limits<pid_t>::max())
        content.pid = 0;
    return content;
}

bool processAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Whether unlink(file) would succeed for this user, for looking without removing.
int removalError(const QString &file)
{
    const QFileInfo info(file);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    if (::faccessat(AT_FDCWD, dir.constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    struct stat dirStat
    {
    };
    struct stat fileStat
    {
    };
    if (::stat(dir.constData(), &dirStat) != 0 ||
        ::lstat(QFile::encodeName(file).constData(), &fileStat) != 0)
        return errno;
    const uid_t me = ::geteuid();
    if ((dirStat.st_mode & S_ISVTX) && me != 0 && me != dirStat.st_uid && me != fileStat.st_uid)
        return EPERM;
    return 0;
}

// A lock file that stands in the way, or nothing (absent, or stale and removed in Claim mode).
std::optional<OpenRefusal> checkLock(const QString &file, Mode mode, OpenRefusal base)
{
    base.failure = OpenFailure::InUse;
    base.by = InUseBy::Lock;
    base.lockFile = file;

    const QByteArray encoded = QFile::encodeName(file);
    struct stat st
    {
    };
    if (::lstat(encoded.constData(), &st) != 0)
        return std::nullopt;
    QFile lock(file);
    if (!lock.open(QIODevice::ReadOnly)) {
        base.systemText = lock.errorString();
        return base;
    }
    const LockContent content = parseLock(lock.read(4096));
    lock.close();

    if (content.pid > 0) {
        base.pid = content.pid;
        if (!content.host.isEmpty() && content.host != QSysInfo::machineHostName()) {
            // Whether it lives cannot be told from here.
            base.detail = content.host;
            return base;
        }
        if (processAlive(content.pid)) {
            base.processName = processName(content.pid);
            if (base.processName.isEmpty())
                base.processName = content.appName;
            return base;
        }
        base.processName = content.appName;
    } else {
        const qint64 age = QFileInfo(file).lastModified().secsTo(QDateTime::currentDateTime());
        if (age < UnreadableLockSeconds)
            return base;
    }

    // Stale: its holder has ended.
    int error = 0;
    if (mode == Mode::Claim)
        error = ::unlink(encoded.constData()) == 0 || errno == ENOENT ? 0 : errno;
    else
        error = removalError(file);
    if (error == 0)
        return std::nullopt;
    base.stale = true;
    base.systemText = errorText(error);
    return base;
}

// Whether the kernel writes its console to the device: its own list names it by number, the
// active list by name under /dev.
bool isSystemConsole(dev_t device, const PortClaim::Options &options)
{
    QFile list(options.consoleList.isEmpty() ? QStringLiteral("/proc/consoles")
                                             : options.consoleList);
    if (list.open(QIODevice::ReadOnly)) {
        // "ttyS0                -W- (EC  p a)    4:64": the numbers come last.
        for (const QByteArray &line : list.readAll().split('\n')) {
            const QList<QByteArray> number = line.simplified().split(' ').constLast().split(':');
            bool majorOk = false;
            bool minorOk = false;
            if (number.size() == 2 && number[0].toUInt(&majorOk) == major(device) && majorOk &&
                number[1].toUInt(&minorOk) == minor(device) && minorOk)
                return true;
        }
    }
    QFile active(options.activeConsoles.isEmpty() ? QStringLiteral("/sys/class/tty/console/active")
                                                  : options.activeConsoles);
    if (active.open(QIODevice::ReadOnly)) {
        for (const QByteArray &name : active.readAll().simplified().split(' ')) {
            struct stat st
            {
            };
            if (!name.isEmpty() && ::stat(("/dev/" + name).constData(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == device)
                return true;
        }
    }
    return false;
}

// The process that holds the device node itself locked with flock(), 0 when the kernel does
// not say which, or nothing when it is not locked.
std::optional<qint64> deviceLockHolder(const struct stat &st)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF"; a waiter has "->" after the number.
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':' +
                            QByteArray::number(quint64(st.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[5] == node) {
            const qint64 pid = fields[4].toLongLong();
            return pid > 0 ? pid : 0;
        }
    }
    return std::nullopt;
}

OpenRefusal deviceLocked(const Resolution &resolution, const QString &path, const struct stat &st)
{
    OpenRefusal locked = refusal(resolution, path, OpenFailure::InUse, InUseBy::DeviceLock);
    locked.pid = deviceLockHolder(st).value_or(0);
    if (locked.pid > 0)
        locked.processName = processName(locked.pid);
    return locked;
}

// Every rule about the device itself that needs no descriptor, in order. Fills st.
std::optional<OpenRefusal> checkDevice(const QString &path, const Resolution &resolution,
                                       const PortClaim::Options &options, Mode mode,
                                       struct stat &st)
{
    if (!resolution.exists) {
        OpenRefusal missing = refusal(resolution, path, OpenFailure::NoSuchDevice);
        missing.systemText = resolution.systemText;
        return missing;
    }
    const QString &device = resolution.names.last();
    if (::stat(QFile::encodeName(device).constData(), &st) != 0) {
        const int error = errno;
        OpenRefusal failed = refusal(
            resolution, path, error == ENOENT ? OpenFailure::NoSuchDevice : OpenFailure::Other);
        failed.systemText = errorText(error);
        return failed;
    }
    if (const std::optional<QString> what = notSerial(st)) {
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
    if (mode == Mode::Look &&
        ::faccessat(AT_FDCWD, QFile::encodeName(device).constData(), R_OK | W_OK, AT_EACCESS) !=
            0 &&
        (errno == EACCES || errno == EPERM)) {
        OpenRefusal denied = refusal(resolution, path, OpenFailure::PermissionDenied);
        denied.detail = groupToJoin(st);
        return denied;
    }
    return std::nullopt;
}

std::optional<OpenRefusal> checkLockFiles(const QString &path, const Resolution &resolution,
                                          const PortClaim::Options &options, Mode mode)
{
    const OpenRefusal base = refusal(resolution, path, OpenFailure::InUse, InUseBy::Lock);
    for (const QString &file : candidatesFor(resolution.names, options)) {
        if (std::optional<OpenRefusal> locked = checkLock(file, mode, base))
            return locked;
    }
    return std::nullopt;
}

// Why no file can be made in dir, as the serial layer makes its lock: 0 when one can.
int fileMakingError(const QString &dir)
{
    QByteArray name = QFile::encodeName(dir) + "/.probe-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    // A full file system may still have room for a name but not for the lock's content.
    const QByteArray content = QByteArray::number(::getpid()).rightJustified(10) + '\n' +
                               QSysInfo::machineHostName().toLocal8Bit() + '\n';
    int error = 0;
    const ssize_t written = ::write(fd, content.constData(), size_t(content.size()));
    if (written != content.size())
        error = written < 0 ? errno : ENOSPC;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    ::unlink(name.constData());
    return error;
}

} // namespace

std::variant<PortClaim, OpenRefusal> PortClaim::claim(const QString &path, const Options &options)
{
    const Resolution resolution = resolve(path);
    struct stat st
    {
    };
    if (std::optional<OpenRefusal> refused =
            checkDevice(path, resolution, options, Mode::Claim, st))
        return *refused;
    // A live holder's lock refuses before the device is even opened.
    if (std::optional<OpenRefusal> locked = checkLockFiles(path, resolution, options, Mode::Look))
        return *locked;

    const QString &device = resolution.names.last();
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        OpenRefusal failed = refusal(resolution, path, OpenFailure::Other);
        failed.systemText = errorText(error);
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
        failed.systemText = errorText(error);
        return refuse(failed);
    }

    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        OpenRefusal wrong = refusal(resolution, path, OpenFailure::NotSerial);
        wrong.detail = QStringLiteral("takes no terminal settings");
        wrong.systemText = errorText(errno);
        return refuse(wrong);
    }
#ifdef TIOCGEXCL
    // Root's open gets through another program's exclusive mode; the flag still tells.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0)
        return refuse(refusal(resolution, path, OpenFailure::InUse, InUseBy::ExclusiveMode));
#endif
    if (std::optional<OpenRefusal> locked = checkLockFiles(path, resolution, options, Mode::Claim))
        return refuse(*locked);
    return PortClaim(resolution.names, fd);
}

void PortClaim::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

std::optional<OpenRefusal> checkWithoutOpening(const QString &path,
                                               const PortClaim::Options &options)
{
    const Resolution resolution = resolve(path);
    struct stat st
    {
    };
    if (std::optional<OpenRefusal> refused = checkDevice(path, resolution, options, Mode::Look, st))
        return refused;
    if (std::optional<OpenRefusal> locked = checkLockFiles(path, resolution, options, Mode::Look))
        return locked;
    if (deviceLockHolder(st))
        return deviceLocked(resolution, path, st);
    return std::nullopt;
}

std::optional<OpenRefusal> lockFileObstacle(const QString &path, const PortClaim::Options &options)
{
    const Resolution resolution = resolve(path);
    const QString fileName = qtLockName(resolution.names.last());
    OpenRefusal obstacle = refusal(resolution, path, OpenFailure::Other);
    std::optional<OpenRefusal> unusable;
    // The serial layer's choice: the first directory it may read that holds the file already
    // or may be written to.
    for (const QString &dir :
         options.lockDirs.isEmpty() ? serialLayerLockDirs() : options.lockDirs) {
        const QByteArray encoded = QFile::encodeName(dir);
        obstacle.lockFile = dir + QLatin1Char('/') + fileName;
        int error = 0;
        if (::faccessat(AT_FDCWD, encoded.constData(), R_OK, AT_EACCESS) != 0 ||
            (!QFileInfo::exists(obstacle.lockFile) &&
             ::faccessat(AT_FDCWD, encoded.constData(), W_OK, AT_EACCESS) != 0))
            error = errno;
        if (error != 0) {
            // No directory at all: then the first one it would have used is the one to name.
            if (!unusable) {
                obstacle.systemText = errorText(error);
                unusable = obstacle;
            }
            continue;
        }
        error = fileMakingError(dir);
        if (error == 0)
            return std::nullopt;
        obstacle.systemText = errorText(error);
        return obstacle;
    }
    return unusable;
}

QStringList lockFileCandidates(const QString &path, const PortClaim::Options &options)
{
    return candidatesFor(resolve(path).names, options);
}

#else // no device files, no lock files, nothing to look at before opening

std::variant<PortClaim, OpenRefusal> PortClaim::claim(const QString &path, const Options &)
{
    return PortClaim({path}, -1);
}

void PortClaim::release()
{
    m_fd = -1;
}

std::optional<OpenRefusal> checkWithoutOpening(const QString &, const PortClaim::Options &)
{
    return std::nullopt;
}

std::optional<OpenRefusal> lockFileObstacle(const QString &, const PortClaim::Options &)
{
    return std::nullopt;
}

QStringList lockFileCandidates(const QString &, const PortClaim::Options &)
{
    return {};
}

#endif

PortClaim::PortClaim(QStringList names, int fd)
    : m_names(std::move(names)), m_device(m_names.last()), m_fd(fd)
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
