// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Ports that are not ours to use, each made for real and claimed: the claim must refuse for the
// right reason, naming the holder, and not one byte may reach the other side.

#include "device/portaccess.h"
#include "device/portname.h"
#include "device/porttarget.h"
#include "device/seriallink.h"
#include "porttargets.h"
#include "ptyboard.h"
#include "testboard.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>

namespace {

enum class Target {
    ShellPty,
    DevTty,
    DevNull,
    Exclusive,
    LiveClassicLock,
    LiveSerialLayerLock,
    OtherHostLock,
    FreshGarbageLock,
    StaleClassicLock,
    StaleBinaryLock,
    OldGarbageLock,
    FutureGarbageLock,
    KernelThreadLock,
    UnremovableStaleLock,
    SecondLink,
    RegularFile,
    Fifo,
    Missing,
    NoPermission,
    DialoutGroup,
    DeviceLocked,
    ListedConsole,
    ActiveConsole,
    Emulator
};

constexpr uid_t Nobody = 65534;

struct Result
{
    std::optional<OpenRefusal> seen;    // checkWithoutOpening
    std::optional<OpenRefusal> refused; // claim
    QString device;                     // claimed
    bool lockKeptByLook = true;
};

Result lookAndClaim(const QString &path, const PortClaim::Options &options, const QString &lock)
{
    Result result;
    result.seen = checkWithoutOpening(path.toStdString(), options);
    result.lockKeptByLook = lock.isEmpty() || QFileInfo(lock).exists();
    auto claimed = PortClaim::claim(path.toStdString(), options);
    if (auto *refusal = std::get_if<OpenRefusal>(&claimed))
        result.refused = *refusal;
    else
        result.device = QString::fromStdString(std::get<PortClaim>(claimed).device());
    return result;
}

// A system's device tree in a temporary folder, laid out as the kernel and udev lay it out:
// class/tty entries that lead into devices/, a USB adapter's identity in the USB device above
// its interface, device nodes (links to real pseudo-terminals) and udev's serial/ links.
class StandInTree
{
public:
    bool isValid() const { return m_dir.isValid(); }
    DeviceTree tree() const { return {path("sys").toStdString(), path("dev").toStdString()}; }
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    // A USB adapter on hub port `port`: ttyUSBn sits below the interface, ttyACMn is one.
    bool addUsb(const QString &name, const QString &port, const QString &serial,
                const QString &node)
    {
        const QString usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
        const QString interface = usb + "/1-" + port + ":1.0";
        const bool acm = name.startsWith(QLatin1String("ttyACM"));
        const QString id = acm ? "usb-Arduino_Uno_R3_" + serial + "-if00"
                               : "usb-FTDI_FT232R_USB_UART_" + serial + "-if00-port0";
        return write(usb, {{"idVendor", acm ? "2341" : "0403"},
                           {"idProduct", acm ? "0043" : "6001"},
                           {"manufacturer", acm ? "Arduino (www.arduino.cc)" : "FTDI"},
                           {"product", acm ? "Uno R3" : "FT232R USB UART"},
                           {"serial", serial}}) &&
               addTty(name, acm ? interface : interface + '/' + name, {}, node) &&
               link("dev/serial/by-id/" + id, "../../" + name) &&
               link("dev/serial/by-path/pci-0000:00:14.0-usb-0:" + port + ":1.0", "../../" + name);
    }

    bool addTty(const QString &name, const QString &device,
                const QList<std::pair<QString, QString>> &attributes, const QString &node)
    {
        const QString entry = device + "/tty/" + name;
        return write(entry, attributes) &&
               link(entry + "/device", "../../../" + QFileInfo(device).fileName()) &&
               link("sys/class/tty/" + name, "../../" + entry.mid(4)) && link("dev/" + name, node);
    }

    // Unplugged; udev's links to it are left dangling.
    bool remove(const QString &name)
    {
        return QFile::remove(path("sys/class/tty/" + name)) && QFile::remove(path("dev/" + name));
    }

    bool write(const QString &dir, const QList<std::pair<QString, QString>> &attributes)
    {
        if (!QDir(m_dir.path()).mkpath(dir))
            return false;
        for (const auto &[name, value] : attributes) {
            QFile file(path(dir + '/' + name));
            if (!file.open(QIODevice::WriteOnly) || file.write((value + '\n').toUtf8()) < 0)
                return false;
        }
        return true;
    }

private:
    // Made, or replaced as udev replaces it.
    bool link(const QString &at, const QString &target)
    {
        QFile::remove(path(at));
        return QDir(m_dir.path()).mkpath(QFileInfo(at).path()) && QFile::link(target, path(at));
    }

    QTemporaryDir m_dir;
};

} // namespace

class TstPortAccess : public QObject
{
    Q_OBJECT

private slots:
    void targets_data();
    void targets();
    void overviewMarks();
    void devicePaths_data();
    void devicePaths();
    void racingClaims_data();
    void racingClaims();
    void lockFileObstacles_data();
    void lockFileObstacles();
    void lockDirectoryFull();
    void standInDeviceTree();
    void usbSerialTargets_data();
    void usbSerialTargets();
};

void TstPortAccess::targets_data()
{
    QTest::addColumn<Target>("target");
    QTest::addColumn<bool>("asNobody");
    QTest::addColumn<std::optional<OpenFailure>>("failure"); // none: claimed
    QTest::addColumn<InUseBy>("by");
    QTest::addColumn<bool>("seen"); // checkWithoutOpening tells as much

    const auto row = [](const char *name, Target target, std::optional<OpenFailure> failure,
                        InUseBy by = InUseBy::Nobody, bool seen = true, bool asNobody = false) {
        QTest::newRow(name) << target << asNobody << failure << by << seen;
    };
    using F = OpenFailure;
    row("shell pty", Target::ShellPty, F::InUse, InUseBy::ControllingTerminal);
    row("/dev/tty", Target::DevTty, F::NotSerial);
    row("/dev/null", Target::DevNull, F::NotSerial);
    // As root the open gets through and TIOCGEXCL tells; otherwise the open fails with EBUSY.
    row("exclusive holder", Target::Exclusive, F::InUse, InUseBy::ExclusiveMode, false);
    row("exclusive holder, as nobody", Target::Exclusive, F::InUse, InUseBy::ExclusiveMode, false,
        true);
    row("live classic lock on a link's name", Target::LiveClassicLock, F::InUse, InUseBy::Lock);
    row("live serial-layer lock", Target::LiveSerialLayerLock, F::InUse, InUseBy::Lock);
    row("lock of another host", Target::OtherHostLock, F::InUse, InUseBy::Lock);
    row("fresh lock naming no process", Target::FreshGarbageLock, F::InUse, InUseBy::Lock);
    row("stale classic lock", Target::StaleClassicLock, {}, InUseBy::Nobody, false);
    row("stale binary lock", Target::StaleBinaryLock, {}, InUseBy::Nobody, false);
    row("old lock naming no process", Target::OldGarbageLock, {}, InUseBy::Nobody, false);
    // The clock went back an hour since it was made.
    row("lock from the future naming no process", Target::FutureGarbageLock, {}, InUseBy::Nobody,
        false);
    // A kernel thread took over the pid of a holder that has gone.
    row("lock naming a kernel thread", Target::KernelThreadLock, {}, InUseBy::Nobody, false);
    row("stale lock not ours to remove, as nobody", Target::UnremovableStaleLock, F::InUse,
        InUseBy::Lock, true, true);
    row("second link while the first is open", Target::SecondLink, F::InUse, InUseBy::Lock);
    row("regular file", Target::RegularFile, F::NotSerial);
    row("FIFO", Target::Fifo, F::NotSerial);
    row("dangling link", Target::Missing, F::NoSuchDevice);
    row("someone else's pty, as nobody", Target::NoPermission, F::PermissionDenied, {}, true, true);
    row("dialout device, as nobody", Target::DialoutGroup, F::PermissionDenied, {}, true, true);
    row("device locked by another claim", Target::DeviceLocked, F::InUse, InUseBy::DeviceLock);
    row("in the kernel's console list", Target::ListedConsole, F::InUse, InUseBy::SystemConsole);
    row("an active console", Target::ActiveConsole, F::InUse, InUseBy::SystemConsole);
    row("the emulator's pty", Target::Emulator, {}, InUseBy::Nobody, false);
}

void TstPortAccess::targets()
{
    QFETCH(Target, target);
    QFETCH(bool, asNobody);
    QFETCH(std::optional<OpenFailure>, failure);
    QFETCH(InUseBy, by);
    QFETCH(bool, seen);
    if (asNobody && ::geteuid() != 0)
        QSKIP("needs root, to run the claim as user nobody");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                  QFileDevice::ExeOther));
    const QString lockDir = dir.filePath(QStringLiteral("lock"));
    QVERIFY(::mkdir(QFile::encodeName(lockDir).constData(), 0777) == 0 &&
            ::chmod(QFile::encodeName(lockDir).constData(), 01777) == 0);
    PortClaim::Options privateLocks;
    privateLocks.lockDirs = {lockDir.toStdString()};

    TestPty pty;
    QVERIFY(pty.isValid());
    SleepingChild child;
    QtPtyBoard board;
    std::unique_ptr<SerialLink> holder;
    std::optional<LockFileWriter> lock;
    QFile file(dir.filePath(QStringLiteral("notes.txt")));
    int fifoReader = -1;

    // What this target is expected to say, and what reached its other side.
    QString path = dir.filePath(QStringLiteral("com3"));
    QString linkTo = pty.slavePath();
    PortClaim::Options options = privateLocks;
    qint64 pid = 0;
    QString lockFile;
    std::optional<QString> detail;
    std::optional<QString> text;
    std::function<QByteArray()> written = [&] { return pty.written(); };
    std::function<void()> after;
    const auto writeLock = [&](const QString &name, LockFormat format, qint64 lockPid,
                               const QString &host = QString()) {
        lockFile = name.contains(QLatin1Char('/')) ? name : lockDir + QLatin1Char('/') + name;
        lock.emplace(lockFile, format, lockPid, host);
        QVERIFY(lock->isWritten());
    };

    switch (target) {
    case Target::ShellPty:
        QVERIFY(child.startOnTerminal(pty.slavePath()));
        pid = child.pid();
        break;
    case Target::DevTty:
        linkTo = QStringLiteral("/dev/tty");
        break;
    case Target::DevNull:
        path = QStringLiteral("/dev/null");
        break;
    case Target::Exclusive:
        QVERIFY(pty.setExclusive());
        if (asNobody)
            QVERIFY(::fchown(pty.slaveFd(), Nobody, gid_t(-1)) == 0);
        after = [&] { QVERIFY(pty.isExclusive()); };
        break;
    case Target::LiveClassicLock:
        path = dir.filePath(QStringLiteral("ttyUSB7"));
        QVERIFY(child.start());
        pid = child.pid();
        writeLock(QStringLiteral("LCK..ttyUSB7"), LockFormat::Classic, pid);
        break;
    case Target::LiveSerialLayerLock:
        options = {};
        QVERIFY(child.start());
        pid = child.pid();
        writeLock(serialLayerLockPath(pty.slavePath()), LockFormat::SerialLayer, pid);
        break;
    case Target::OtherHostLock:
        pid = endedPid();
        writeLock(QStringLiteral("LCK..com3"), LockFormat::SerialLayer, pid,
                  QStringLiteral("elsewhere"));
        detail = QStringLiteral("elsewhere");
        break;
    case Target::FreshGarbageLock:
        writeLock(QStringLiteral("LCK..com3"), LockFormat::Garbage, 0);
        break;
    case Target::StaleClassicLock:
        writeLock(QStringLiteral("LCK..com3"), LockFormat::Classic, endedPid());
        after = [&] { QVERIFY(!QFileInfo::exists(lockFile)); };
        break;
    case Target::StaleBinaryLock:
        // under the serial layer's name for the link
        writeLock(QStringLiteral("LCK..") + QString(path).replace(QLatin1Char('/'), '_'),
                  LockFormat::Binary, endedPid());
        after = [&] { QVERIFY(!QFileInfo::exists(lockFile)); };
        break;
    case Target::OldGarbageLock:
    case Target::FutureGarbageLock: {
        writeLock(QFileInfo(serialLayerLockPath(pty.slavePath())).fileName(), LockFormat::Garbage,
                  0);
        QFile old(lockFile);
        const qint64 shift = target == Target::OldGarbageLock ? -60 : 3600;
        QVERIFY(old.open(QIODevice::ReadWrite) &&
                old.setFileTime(QDateTime::currentDateTime().addSecs(shift),
                                QFileDevice::FileModificationTime));
        after = [&] { QVERIFY(!QFileInfo::exists(lockFile)); };
        break;
    }
    case Target::KernelThreadLock: {
        QFile kthreadd(QStringLiteral("/proc/2/stat"));
        if (!kthreadd.open(QIODevice::ReadOnly) || !kthreadd.readAll().contains("(kthreadd)"))
            QSKIP("the kernel's threads are not seen here");
        writeLock(QStringLiteral("LCK..com3"), LockFormat::Classic, 2);
        after = [&] { QVERIFY(!QFileInfo::exists(lockFile)); };
        break;
    }
    case Target::UnremovableStaleLock:
        QVERIFY(::fchown(pty.slaveFd(), Nobody, gid_t(-1)) == 0);
        pid = endedPid();
        writeLock(QStringLiteral("LCK..com3"), LockFormat::Classic, pid);
        after = [&] { QVERIFY(QFileInfo::exists(lockFile)); };
        break;
    case Target::SecondLink: {
        // The first link is opened as the program opens it: claimed, then by the serial layer,
        // the claim held while it is open.
        const QString first = dir.filePath(QStringLiteral("com4"));
        QVERIFY(QFile::link(pty.slavePath(), first));
        holder = ::linkTo(first);
        QVERIFY(!holder->open());
        options = {};
        pid = ::getpid();
        lockFile = serialLayerLockPath(pty.slavePath());
        break;
    }
    case Target::RegularFile:
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("untouched\n") == 10);
        file.close();
        linkTo = file.fileName();
        detail = QStringLiteral("regular file");
        written = [&] {
            QFile content(file.fileName());
            return content.open(QIODevice::ReadOnly) ? content.readAll().mid(10) : "unreadable";
        };
        break;
    case Target::Fifo:
        linkTo = dir.filePath(QStringLiteral("fifo"));
        QVERIFY(::mkfifo(QFile::encodeName(linkTo).constData(), 0666) == 0);
        fifoReader = ::open(QFile::encodeName(linkTo).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(fifoReader >= 0);
        detail = QStringLiteral("FIFO");
        written = [&] {
            char buffer[64];
            const ssize_t count = ::read(fifoReader, buffer, sizeof buffer);
            ::close(fifoReader);
            return QByteArray(buffer, qMax<ssize_t>(count, 0));
        };
        break;
    case Target::Missing:
        linkTo = dir.filePath(QStringLiteral("gone"));
        break;
    case Target::NoPermission:
        detail = QString(); // its group may only write to it: joining would not help
        break;
    case Target::DialoutGroup: {
        const struct group *dialout = ::getgrnam("dialout");
        if (!dialout)
            QSKIP("this system has no dialout group");
        QVERIFY(::fchown(pty.slaveFd(), 0, dialout->gr_gid) == 0 &&
                ::fchmod(pty.slaveFd(), 0660) == 0);
        detail = QStringLiteral("dialout");
        break;
    }
    case Target::DeviceLocked:
        // as a claim of this process through another descriptor locks it
        QVERIFY(::flock(pty.slaveFd(), LOCK_EX | LOCK_NB) == 0);
        pid = ::getpid();
        break;
    case Target::ListedConsole:
    case Target::ActiveConsole: {
        // Stand-ins for the kernel's lists, naming the pty as its console.
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(pty.slavePath()).constData(), &st) == 0);
        const QString name = pty.slavePath().mid(int(qstrlen("/dev/")));
        QFile list(dir.filePath(QStringLiteral("consoles")));
        QVERIFY(list.open(QIODevice::WriteOnly));
        if (target == Target::ListedConsole) {
            list.write(QStringLiteral("ttyS0                -W- (EC  p a)    4:64\n"
                                      "%1                -W- (E   p  )  %2:%3\n")
                           .arg(name)
                           .arg(major(st.st_rdev))
                           .arg(minor(st.st_rdev))
                           .toLocal8Bit());
            options.consoleList = list.fileName().toStdString();
            options.activeConsoles = dir.filePath(QStringLiteral("none")).toStdString();
        } else {
            list.write(QStringLiteral("tty0 %1\n").arg(name).toLocal8Bit());
            options.consoleList = dir.filePath(QStringLiteral("none")).toStdString();
            options.activeConsoles = list.fileName().toStdString();
        }
        list.close();
        text = path + QStringLiteral(" is the system console");
        break;
    }
    case Target::Emulator:
        QVERIFY(board.start());
        linkTo = board.devicePath();
        written = [&] { return board.received(); };
        after = [&] {
            // and the link opens what it claimed, the claim held while it is open
            holder = ::linkTo(path);
            QVERIFY(!holder->open());
            QVERIFY(
                std::holds_alternative<OpenRefusal>(PortClaim::claim(path.toStdString(), options)));
            holder->close();
            // and nothing of it is left behind
            const auto again = PortClaim::claim(path.toStdString(), options);
            QVERIFY2(std::holds_alternative<PortClaim>(again),
                     std::get_if<OpenRefusal>(&again)
                         ? std::get_if<OpenRefusal>(&again)->text().c_str()
                         : "");
            QCOMPARE(board.received(), QByteArray());
        };
        break;
    }
    if (QTest::currentTestFailed())
        return;
    if (path.startsWith(dir.path()))
        QVERIFY(QFile::link(linkTo, path));

    Result result;
    if (asNobody)
        QVERIFY(runAsUser(Nobody, Nobody, [&] { result = lookAndClaim(path, options, lockFile); }));
    else
        result = lookAndClaim(path, options, lockFile);

    if (!failure) {
        QVERIFY2(!result.refused, result.refused->text().c_str());
        QCOMPARE(result.device, QFileInfo(linkTo).canonicalFilePath());
    } else {
        QVERIFY2(result.refused, "claimed");
        const OpenRefusal &refusal = *result.refused;
        QCOMPARE(refusal.failure, *failure);
        QCOMPARE(refusal.by, by);
        QCOMPARE(QString::fromStdString(refusal.path), path);
        QCOMPARE(refusal.pid, pid);
        QCOMPARE(QString::fromStdString(refusal.lockFile), lockFile);
        if (detail)
            QCOMPARE(QString::fromStdString(refusal.detail), *detail);
        if (text)
            QCOMPARE(QString::fromStdString(refusal.text()), *text);
        if (by == InUseBy::ControllingTerminal || target == Target::LiveSerialLayerLock)
            QCOMPARE(refusal.processName, std::string("sleep"));
        if (target == Target::UnremovableStaleLock)
            QVERIFY(refusal.stale);
        const QString text = QString::fromStdString(refusal.text());
        if (pid > 0)
            QVERIFY2(text.contains(QString::number(pid)), qPrintable(text));
        QVERIFY2(text.contains(lockFile), qPrintable(text));
    }
    QCOMPARE(result.seen.has_value(), seen);
    if (seen)
        QCOMPARE(result.seen->failure, *failure);
    QVERIFY(result.lockKeptByLook);
    QCOMPARE(written(), QByteArray());
    if (after)
        after();
    if (holder)
        holder->close();
}

void TstPortAccess::devicePaths_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>(
        "absolute"); // relative to the working directory unless it starts with '/'
    QTest::newRow("bare name") << "ttyUSB0"
                               << "/dev/ttyUSB0";
    QTest::newRow("doubled and dotted") << "/dev//pts/./0/"
                                        << "/dev/pts/0";
    QTest::newRow("up a folder") << "/dev/serial/../ttyS0"
                                 << "/dev/ttyS0";
    QTest::newRow("above the root") << "/../../dev/ttyS1"
                                    << "/dev/ttyS1";
    QTest::newRow("root") << "//"
                          << "/";
    QTest::newRow("relative with a folder") << "links/../com3"
                                            << "com3";
    QTest::newRow("relative, up and out") << "./a/../../com4"
                                          << "../com4";
}

void TstPortAccess::devicePaths()
{
    QFETCH(QString, given);
    QFETCH(QString, absolute);
    if (!absolute.startsWith(QLatin1Char('/')))
        absolute = QDir::cleanPath(QDir::currentPath() + QLatin1Char('/') + absolute);
    QCOMPARE(QString::fromStdString(absolutePortName(given.toStdString())), absolute);
}

void TstPortAccess::overviewMarks()
{
    QTemporaryDir dir;
    TestPty shell, locked, free;
    SleepingChild login, holder;
    QVERIFY(login.startOnTerminal(shell.slavePath()) && holder.start());
    LockFileWriter lock(serialLayerLockPath(locked.slavePath()), LockFormat::Classic, holder.pid());
    QVERIFY(lock.isWritten());
    QFile file(dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QStringList targets = {shell.slavePath(), file.fileName(), free.slavePath(),
                                 locked.slavePath()};
    for (int i = 0; i < targets.size(); ++i)
        QVERIFY(QFile::link(targets[i], dir.filePath(QStringLiteral("com%1").arg(i + 1))));

    const auto com = [&](int n) { return dir.filePath(QStringLiteral("com%1").arg(n)); };
    QCOMPARE(QString::fromStdString(portNumberOverview({}, dir.path().toStdString())),
             QStringLiteral("Port numbers that name a device right now:\n"
                            "1: %1 -> %2, pseudo-terminal (terminal of process %3 (sleep))\n"
                            "2: %4 -> %5 (not a serial device)\n"
                            "3: %6 -> %7, pseudo-terminal\n"
                            "4: %8 -> %9, pseudo-terminal (in use by process %10 (sleep))")
                 .arg(com(1), targets[0])
                 .arg(login.pid())
                 .arg(com(2), targets[1], com(3), targets[2], com(4), targets[3])
                 .arg(holder.pid()));
}

void TstPortAccess::racingClaims_data()
{
    QTest::addColumn<bool>("asNobody");
    QTest::newRow("as this user") << false;
    QTest::newRow("as nobody") << true;
}

void TstPortAccess::racingClaims()
{
    QFETCH(bool, asNobody);
    if (asNobody && ::geteuid() != 0)
        QSKIP("needs root, to run the claims as user nobody");
    // Two processes open one port at the same moment, each as the programs do, over a stale
    // lock in the system lock directory: both find it stale, and without one arbiter one
    // removes the lock the other has just made, and both own the port (as root, the serial
    // layer's exclusive mode does not stop the second). The owners log when they have it.
    constexpr int Rounds = 200;
    constexpr int HoldMs = 20;
    QtPtyBoard board;
    QVERIFY(board.start());
    const QString lockFile = serialLayerLockPath(board.devicePath());
    QVERIFY(!QFileInfo::exists(lockFile));
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("owners"));
    QStringList arguments = {board.devicePath(), log, QString::number(HoldMs)};
    QString program = QStringLiteral(ZARVEX_CLAIM_CHILD);
    if (asNobody) {
        // The port and the stale lock are nobody's own, as a user's would be.
        QVERIFY(::chown(QFile::encodeName(board.devicePath()).constData(), Nobody, gid_t(-1)) == 0);
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        arguments.prepend(program);
        arguments = QStringList{QStringLiteral("--reuid=%1").arg(Nobody),
                                QStringLiteral("--regid=%1").arg(Nobody),
                                QStringLiteral("--clear-groups")} +
                    arguments;
        program = QStringLiteral("setpriv");
    }

    int bothHadIt = 0;
    for (int round = 0; round < Rounds; ++round) {
        LockFileWriter stale(lockFile, LockFormat::SerialLayer, endedPid());
        QVERIFY(stale.isWritten());
        if (asNobody)
            QVERIFY(::chown(QFile::encodeName(lockFile).constData(), Nobody, gid_t(-1)) == 0);
        QProcess first;
        QProcess second;
        first.start(program, arguments);
        second.start(program, arguments);
        QVERIFY(first.waitForFinished(10000) && second.waitForFinished(10000));
        for (QProcess *child : {&first, &second}) {
            QVERIFY2(child->exitStatus() == QProcess::NormalExit &&
                         (child->exitCode() == 0 || child->exitCode() == 3),
                     child->readAllStandardError().constData());
        }
        bothHadIt += first.exitCode() == 0 && second.exitCode() == 0;
        // the owner took its lock away again, and nothing else is left
        QVERIFY(!QFileInfo::exists(lockFile));
    }

    QFile owners(log);
    QVERIFY(owners.open(QIODevice::ReadOnly));
    QSet<QByteArray> holding;
    int ownerships = 0;
    for (const QByteArray &line : owners.readAll().split('\n')) {
        if (line.startsWith('+')) {
            if (!holding.isEmpty()) {
                QFAIL(qPrintable(QStringLiteral("process %1 took the port while %2 had it")
                                     .arg(line.mid(1), holding.values().constFirst())));
            }
            holding.insert(line.mid(1));
            ++ownerships;
        } else if (line.startsWith('-')) {
            holding.remove(line.mid(1));
        }
    }
    QVERIFY(holding.isEmpty());
    // Every round had an owner; a second one only after the first had closed.
    QCOMPARE(ownerships, Rounds + bothHadIt);
    QCOMPARE(board.received(), QByteArray());
}

void TstPortAccess::lockFileObstacles_data()
{
    QTest::addColumn<QStringList>("dirs"); // as named in the temporary directory
    QTest::addColumn<int>("error");        // 0: a lock file can be made
    QTest::addColumn<int>("named");        // which of dirs the refusal names

    QTest::newRow("writable") << QStringList{"open"} << 0 << 0;
    QTest::newRow("read-only") << QStringList{"closed"} << EACCES << 0;
    QTest::newRow("read-only with the lock file in it") << QStringList{"held"} << EACCES << 0;
    QTest::newRow("missing") << QStringList{"gone"} << ENOENT << 0;
    // The serial layer moves on to the next directory it may write to, as this does.
    QTest::newRow("read-only, then writable") << QStringList{"closed", "open"} << 0 << 0;
    QTest::newRow("missing, then read-only") << QStringList{"gone", "closed"} << ENOENT << 0;
    QTest::newRow("missing, then holding the lock file")
        << QStringList{"gone", "held"} << EACCES << 1;
}

void TstPortAccess::lockFileObstacles()
{
    QFETCH(QStringList, dirs);
    QFETCH(int, error);
    QFETCH(int, named);

    TestPty pty;
    QVERIFY(pty.isValid());
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    const QString lockName =
        QStringLiteral("LCK..") + pty.slavePath().mid(int(qstrlen("/dev/"))).replace('/', '_');
    for (const char *name : {"open", "closed", "held"})
        QVERIFY(::mkdir(QFile::encodeName(dir.filePath(name)).constData(), 0777) == 0);
    QVERIFY(::chmod(QFile::encodeName(dir.filePath("open")).constData(), 0777) == 0);
    QFile lock(dir.filePath(QStringLiteral("held/") + lockName));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.close();
    for (const char *name : {"closed", "held"})
        QVERIFY(::chmod(QFile::encodeName(dir.filePath(name)).constData(), 0555) == 0);

    PortClaim::Options options;
    for (const QString &name : std::as_const(dirs))
        options.lockDirs.push_back(dir.filePath(name).toStdString());
    std::optional<OpenRefusal> obstacle;
    // Root may write anywhere: the directories are closed to user nobody instead.
    if (::geteuid() == 0)
        QVERIFY(runAsUser(Nobody, Nobody, [&] {
            obstacle = lockFileObstacle(pty.slavePath().toStdString(), options);
        }));
    else
        obstacle = lockFileObstacle(pty.slavePath().toStdString(), options);

    if (error == 0) {
        QVERIFY2(!obstacle, obstacle->text().c_str());
    } else {
        QVERIFY(obstacle);
        QCOMPARE(obstacle->failure, OpenFailure::Other);
        QCOMPARE(QString::fromStdString(obstacle->lockFile),
                 QString::fromStdString(options.lockDirs[named]) + QLatin1Char('/') + lockName);
        QCOMPARE(QString::fromStdString(obstacle->systemText), qt_error_string(error));
        QCOMPARE(QString::fromStdString(obstacle->text()),
                 QStringLiteral("%1 could not be locked: cannot make %2: %3")
                     .arg(pty.slavePath(), QString::fromStdString(obstacle->lockFile),
                          qt_error_string(error)));
    }
    // Nothing is left behind of the attempt.
    for (const char *name : {"open", "closed", "held"})
        QCOMPARE(QDir(dir.filePath(name))
                     .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QString::fromLatin1(name) == QLatin1String("held") ? QStringList{lockName}
                                                                    : QStringList{});
    for (const char *name : {"closed", "held"})
        QVERIFY(::chmod(QFile::encodeName(dir.filePath(name)).constData(), 0755) == 0);
}

void TstPortAccess::lockDirectoryFull()
{
    // The serial layer makes its lock itself and says no more than "permission error" when it
    // cannot. A child opens a port with a full file system over the system lock directory, in
    // a mount namespace of its own.
    if (::geteuid() != 0)
        QSKIP("needs root, to mount over the lock directory");
    if (QProcess::execute(QStringLiteral("unshare"), {"--mount", "true"}) != 0)
        QSKIP("no mount namespace to be had here");
    QtPtyBoard board;
    QVERIFY(board.start());
    QTemporaryDir dir;
    QProcess child;
    child.start(
        QStringLiteral("unshare"),
        {"--mount", "sh", "-c",
         "mount -t tmpfs -o size=4k tmpfs \"$1\" && { head -c 65536 /dev/zero >\"$1/fill\"; "
         "exec \"$2\" \"$3\" \"$4\" 0; }",
         "sh", QFileInfo(QStringLiteral("/var/lock")).canonicalFilePath(), ZARVEX_CLAIM_CHILD,
         board.devicePath(), dir.filePath(QStringLiteral("owners"))});
    QVERIFY(child.waitForFinished(10000));
    const QString said = QString::fromLocal8Bit(child.readAllStandardError()).trimmed();
    QCOMPARE(child.exitCode(), 3);
    QCOMPARE(said.split('\n').constLast(),
             QStringLiteral("%1 could not be locked: cannot make /var/lock/%2: %3")
                 .arg(board.devicePath(),
                      QFileInfo(serialLayerLockPath(board.devicePath())).fileName(),
                      qt_error_string(ENOSPC)));
    QCOMPARE(board.received(), QByteArray());
}

void TstPortAccess::standInDeviceTree()
{
    TestPty usb, acm, uart, absent;
    StandInTree tree;
    QVERIFY(tree.isValid() && usb.isValid() && acm.isValid() && uart.isValid() && absent.isValid());
    QVERIFY(tree.addUsb("ttyUSB0", "1", "A10K2X", usb.slavePath()));
    QVERIFY(tree.addUsb("ttyACM0", "2", "85736323838351F0F0A1", acm.slavePath()));
    const QString pci = "sys/devices/pci0000:00/0000:00:16.3";
    QVERIFY(tree.write(pci, {{"vendor", "0x8086"}, {"device", "0xa13d"}}));
    QVERIFY(tree.addTty("ttyS4", pci, {{"type", "4"}}, uart.slavePath()));
    // The 8250 driver's entry where no UART answered.
    QVERIFY(tree.addTty("ttyS0", "sys/devices/platform/serial8250", {{"type", "0"}},
                        absent.slavePath()));

    QStringList seen;
    for (const SerialDeviceInfo &device : serialDevices(tree.tree())) {
        const auto hex = [](std::optional<std::uint16_t> id) {
            return id ? QString::number(*id, 16).rightJustified(4, QLatin1Char('0')) : QString();
        };
        seen << QStringList{QString::fromStdString(device.portName),
                            QString::fromStdString(device.systemLocation),
                            hex(device.vendorId) + ':' + hex(device.productId),
                            QString::fromStdString(device.serialNumber),
                            QString::fromStdString(device.manufacturer),
                            QString::fromStdString(device.product),
                            QString::fromStdString(device.description),
                            QString::fromStdString(device.stablePath),
                            QString::fromStdString(device.locationPath)}
                    .join(QLatin1Char('|'))
                    .replace(tree.path({}) + '/', QLatin1String("T/"));
    }
    QCOMPARE(seen,
             QStringList({"ttyACM0|T/dev/ttyACM0|2341:0043|85736323838351F0F0A1|Arduino "
                          "(www.arduino.cc)|Uno R3|Uno R3|T/dev/serial/by-id/"
                          "usb-Arduino_Uno_R3_85736323838351F0F0A1-if00|T/dev/serial/by-path/"
                          "pci-0000:00:14.0-usb-0:2:1.0",
                          "ttyS4|T/dev/ttyS4|8086:a13d||||||",
                          "ttyUSB0|T/dev/ttyUSB0|0403:6001|A10K2X|FTDI|FT232R USB UART|FT232R USB "
                          "UART|T/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2X-if00-port0|"
                          "T/dev/serial/by-path/pci-0000:00:14.0-usb-0:1:1.0"}));
}

void TstPortAccess::usbSerialTargets_data()
{
    QTest::addColumn<QStringList>("serials"); // of ttyUSB0 and ttyACM0
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("opened"); // empty: refused
    QTest::addColumn<OpenFailure>("failure");
    QTest::addColumn<QString>("text"); // %1: the stand-in tree

    const QStringList two = {"A10K2X", "85736323"};
    const QString found = "(found: 85736323 on %1/dev/ttyACM0, A10K2X on %1/dev/ttyUSB0)";
    using F = OpenFailure;
    QTest::newRow("one") << two << "A10K2X"
                         << "ttyUSB0" << F::Other << QString();
    QTest::newRow("the other") << two << "85736323"
                               << "ttyACM0" << F::Other << QString();
    QTest::newRow("case counts") << two << "a10k2x" << QString() << F::NoSuchDevice
                                 << "no board with USB serial number a10k2x " + found;
    QTest::newRow("a prefix is not it") << two << "A10K" << QString() << F::NoSuchDevice
                                        << "no board with USB serial number A10K " + found;
    QTest::newRow("no serial numbers")
        << QStringList{"", ""} << "A10K2X" << QString() << F::NoSuchDevice
        << "no board with USB serial number A10K2X (no USB serial "
           "devices)";
    QTest::newRow("two share it")
        << QStringList{"0001", "0001"} << "0001" << QString() << F::Ambiguous
        << "2 boards with USB serial number 0001: %1/dev/ttyACM0, %1/dev/ttyUSB0; name one by "
           "its path";
    QTest::newRow("no serial number given")
        << two << QString() << QString() << F::Other
        << "usb-serial: needs the board's USB serial number, e.g. usb-serial:A10K2X";
}

void TstPortAccess::usbSerialTargets()
{
    QFETCH(QStringList, serials);
    QFETCH(QString, given);
    QFETCH(QString, opened);
    QFETCH(OpenFailure, failure);
    QFETCH(QString, text);

    TestPty usb, acm;
    StandInTree tree;
    QVERIFY(tree.isValid() && usb.isValid() && acm.isValid());
    QVERIFY(tree.addUsb("ttyUSB0", "1", serials[0], usb.slavePath()));
    QVERIFY(tree.addUsb("ttyACM0", "2", serials[1], acm.slavePath()));

    std::string error;
    const std::optional<PortTarget> target =
        PortTarget::parse(("usb-serial:" + given).toStdString(), &error);
    if (given.isEmpty()) {
        QVERIFY(!target);
        QCOMPARE(QString::fromStdString(error), text);
        return;
    }
    QVERIFY(target && target->kind == PortTarget::Kind::UsbSerial);
    QCOMPARE(QString::fromStdString(target->described()), "usb-serial:" + given);
    LinkOptions options;
    options.deviceTree = tree.tree();
    const std::unique_ptr<SerialLink> link = makeLink(*target, options);
    const std::optional<OpenRefusal> refusal = link->open();
    if (opened.isEmpty()) {
        QVERIFY(refusal);
        QCOMPARE(refusal->failure, failure);
        QCOMPARE(QString::fromStdString(refusal->path), "usb-serial:" + given);
        QCOMPARE(QString::fromStdString(refusal->text()), text.arg(tree.path("")));
        return;
    }
    QVERIFY2(!refusal, refusal.value_or(OpenRefusal{}).text().c_str());
    QCOMPARE(QString::fromStdString(link->name()), tree.path("dev/" + opened));
    link->close();

    // Plugged in again, it comes back under another name: the next open finds it there.
    QVERIFY(tree.remove(opened));
    QVERIFY(tree.addUsb("ttyUSB7", "4", given, usb.slavePath()));
    const std::optional<OpenRefusal> again = link->open();
    QVERIFY2(!again, again.value_or(OpenRefusal{}).text().c_str());
    QCOMPARE(QString::fromStdString(link->name()), tree.path("dev/ttyUSB7"));
    link->close();
}

QTEST_GUILESS_MAIN(TstPortAccess)
#include "tst_portaccess.moc"
