// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Ports that are not ours to use, each made for real and claimed: the claim must refuse for the
// right reason, naming the holder, and not one byte may reach the other side.

#include "device/portaccess.h"
#include "device/portname.h"
#include "porttargets.h"
#include "ptyboard.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
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
    UnremovableStaleLock,
    SecondLink,
    RegularFile,
    Fifo,
    Missing,
    NoPermission,
    DialoutGroup,
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
    result.seen = checkWithoutOpening(path, options);
    result.lockKeptByLook = lock.isEmpty() || QFileInfo(lock).exists();
    auto claimed = PortClaim::claim(path, options);
    if (auto *refusal = std::get_if<OpenRefusal>(&claimed))
        result.refused = *refusal;
    else
        result.device = std::get<PortClaim>(claimed).device();
    return result;
}

} // namespace

class TstPortAccess : public QObject
{
    Q_OBJECT

private slots:
    void targets_data();
    void targets();
    void overviewMarks();
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
    row("stale lock not ours to remove, as nobody", Target::UnremovableStaleLock, F::InUse,
        InUseBy::Lock, true, true);
    row("second link while the first is open", Target::SecondLink, F::InUse, InUseBy::Lock);
    row("regular file", Target::RegularFile, F::NotSerial);
    row("FIFO", Target::Fifo, F::NotSerial);
    row("dangling link", Target::Missing, F::NoSuchDevice);
    row("someone else's pty, as nobody", Target::NoPermission, F::PermissionDenied, {}, true, true);
    row("dialout device, as nobody", Target::DialoutGroup, F::PermissionDenied, {}, true, true);
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
    const PortClaim::Options privateLocks{{lockDir}};

    TestPty pty;
    QVERIFY(pty.isValid());
    SleepingChild child;
    PtyBoard board;
    QSerialPort holder;
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
    case Target::OldGarbageLock: {
        writeLock(QFileInfo(serialLayerLockPath(pty.slavePath())).fileName(), LockFormat::Garbage,
                  0);
        QFile old(lockFile);
        QVERIFY(old.open(QIODevice::ReadWrite) &&
                old.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                                QFileDevice::FileModificationTime));
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
        // The first link is opened as the program opens it: claimed, then by the serial layer.
        const QString first = dir.filePath(QStringLiteral("com4"));
        QVERIFY(QFile::link(pty.slavePath(), first));
        auto claimed = PortClaim::claim(first);
        QVERIFY(std::holds_alternative<PortClaim>(claimed));
        holder.setPortName(std::get<PortClaim>(claimed).device());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        std::get<PortClaim>(claimed).release();
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
    case Target::Emulator:
        QVERIFY(board.start());
        linkTo = board.devicePath();
        written = [&] { return board.received(); };
        after = [&] {
            // and the serial layer opens what was claimed
            auto claimed = PortClaim::claim(path, options);
            QVERIFY(std::holds_alternative<PortClaim>(claimed));
            holder.setPortName(std::get<PortClaim>(claimed).device());
            QVERIFY(holder.open(QIODevice::ReadWrite));
            std::get<PortClaim>(claimed).release();
            QVERIFY(holder.isOpen());
            holder.close();
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
        QVERIFY2(!result.refused, qPrintable(result.refused->text()));
        QCOMPARE(result.device, QFileInfo(linkTo).canonicalFilePath());
    } else {
        QVERIFY2(result.refused, "claimed");
        const OpenRefusal &refusal = *result.refused;
        QCOMPARE(refusal.failure, *failure);
        QCOMPARE(refusal.by, by);
        QCOMPARE(refusal.path, path);
        QCOMPARE(refusal.pid, pid);
        QCOMPARE(refusal.lockFile, lockFile);
        if (detail)
            QCOMPARE(refusal.detail, *detail);
        if (by == InUseBy::ControllingTerminal || target == Target::LiveSerialLayerLock)
            QCOMPARE(refusal.processName, QStringLiteral("sleep"));
        if (target == Target::UnremovableStaleLock)
            QVERIFY(refusal.stale);
        const QString text = refusal.text();
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
    holder.close();
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
    QCOMPARE(portNumberOverview({}, dir.path()),
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

QTEST_GUILESS_MAIN(TstPortAccess)
#include "tst_portaccess.moc"
