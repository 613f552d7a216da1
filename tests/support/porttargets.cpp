// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "porttargets.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

TestPty::TestPty()
{
    m_masterFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::array<char, PATH_MAX> name{};
    if (m_masterFd < 0 || ::grantpt(m_masterFd) != 0 || ::unlockpt(m_masterFd) != 0 ||
        ::ptsname_r(m_masterFd, name.data(), name.size()) != 0)
        return;
    ::fcntl(m_masterFd, F_SETFL, ::fcntl(m_masterFd, F_GETFL) | O_NONBLOCK);
    m_slaveFd = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name.data());
}

TestPty::~TestPty()
{
    if (m_slaveFd >= 0)
        ::close(m_slaveFd);
    if (m_masterFd >= 0)
        ::close(m_masterFd);
}

QByteArray TestPty::written()
{
    QByteArray bytes;
    std::array<char, 4096> buffer;
    ssize_t count;
    while ((count = ::read(m_masterFd, buffer.data(), buffer.size())) > 0 ||
           (count < 0 && errno == EINTR))
        bytes.append(buffer.data(), qMax<ssize_t>(count, 0));
    return bytes;
}

bool TestPty::setExclusive()
{
    return ::ioctl(m_slaveFd, TIOCEXCL) == 0;
}

bool TestPty::isExclusive() const
{
    int exclusive = 0;
    return ::ioctl(m_slaveFd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

SleepingChild::~SleepingChild()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool SleepingChild::start()
{
    return spawn({});
}

bool SleepingChild::startOnTerminal(const QString &terminalPath)
{
    return spawn(QFile::encodeName(terminalPath));
}

bool SleepingChild::spawn(const QByteArray &terminalPath)
{
    // The child closes `ready` by exec'ing (close-on-exec) or writes to it when it failed.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return false;
    const char *terminal = terminalPath.isEmpty() ? nullptr : terminalPath.constData();
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(ready[0]);
        if (terminal) {
            // A session leader without a terminal adopts the first one it opens.
            const int fd = ::setsid() < 0 ? -1 : ::open(terminal, O_RDWR);
            if (fd < 0 || ::dup2(fd, 0) < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) {
                (void)!::write(ready[1], "x", 1);
                ::_exit(127);
            }
        }
        // The name exec gives it is set only after close-on-exec descriptors are closed.
        ::prctl(PR_SET_NAME, "sleep");
        ::execlp("sleep", "sleep", "100000", static_cast<char *>(nullptr));
        (void)!::write(ready[1], "x", 1);
        ::_exit(127);
    }
    ::close(ready[1]);
    char failed = 0;
    ssize_t count;
    while ((count = ::read(ready[0], &failed, 1)) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    return m_pid > 0 && count == 0;
}

pid_t endedPid()
{
    // exec'd rather than ended in the fork: nothing of this process runs down in the child
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("true", "true", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::waitpid(pid, nullptr, 0);
    return pid;
}

LockFileWriter::LockFileWriter(const QString &path, LockFormat format, qint64 pid,
                               const QString &host)
    : m_path(path)
{
    QByteArray content;
    switch (format) {
    case LockFormat::Classic:
        content = QByteArray::number(pid).rightJustified(10, ' ') + '\n';
        break;
    case LockFormat::SerialLayer:
        content = QByteArray::number(pid) + "\nzarvex-test\n" +
                  (host.isEmpty() ? QSysInfo::machineHostName() : host).toLocal8Bit() + '\n';
        break;
    case LockFormat::Binary: {
        const qint32 binary = qint32(pid);
        content = QByteArray(reinterpret_cast<const char *>(&binary), sizeof binary);
        break;
    }
    case LockFormat::Garbage:
        content = "locked by nobody knows\n";
        break;
    }
    QFile file(path);
    m_written = file.open(QIODevice::WriteOnly | QIODevice::NewOnly) &&
                file.write(content) == content.size();
}

LockFileWriter::~LockFileWriter()
{
    if (m_written)
        QFile::remove(m_path);
}

QString serialLayerLockPath(const QString &device)
{
    QString name = device.mid(int(qstrlen("/dev/")));
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QFileInfo(QStringLiteral("/var/lock")).canonicalFilePath() + QStringLiteral("/LCK..") +
           name;
}

bool runAsUser(uid_t uid, gid_t gid, const std::function<void()> &work)
{
    // The raw calls change this thread's ids only (the C library's change every thread's), and
    // keep root as the saved ids so that the thread can change back.
    bool switched = false;
    std::thread thread([&] {
        std::vector<gid_t> groups(size_t(qMax(0, ::getgroups(0, nullptr))));
        if (::getgroups(int(groups.size()), groups.data()) < 0)
            return;
        const uid_t oldUid = ::geteuid();
        const gid_t oldGid = ::getegid();
        switched = ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
                   ::syscall(SYS_setresgid, gid, gid, oldGid) == 0 &&
                   ::syscall(SYS_setresuid, uid, uid, oldUid) == 0;
        if (switched)
            work();
        ::syscall(SYS_setresuid, oldUid, oldUid, oldUid);
        ::syscall(SYS_setresgid, oldGid, oldGid, oldGid);
        ::syscall(SYS_setgroups, groups.size(), groups.data());
    });
    thread.join();
    return switched;
}

EmulatorProcess::~EmulatorProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        // A stopped emulator would keep the termination pending.
        signal(SIGCONT);
        m_process.waitForFinished(5000);
    }
}

bool EmulatorProcess::start(const QString &program, const QString &link, const QStringList &options)
{
    // Every read-ports is counted here, also those that only repeat the one before.
    m_process.start(program, QStringList{"--link", link, "--verbose"} + options);
    if (!m_process.waitForStarted(5000))
        return false;
    // The device path comes first, once the link is in place.
    while (m_output.indexOf('\n') < 0 && m_process.waitForReadyRead(5000))
        m_output += m_process.readAllStandardOutput();
    return m_output.indexOf('\n') > 0;
}

void EmulatorProcess::signal(int number)
{
    if (pid() > 0)
        ::kill(pid_t(pid()), number);
}

bool EmulatorProcess::waitForExit()
{
    return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(5000);
}

void EmulatorProcess::collect()
{
    while (m_process.waitForReadyRead(0))
        m_output += m_process.readAllStandardOutput();
}

QStringList EmulatorProcess::log()
{
    m_output += m_process.readAllStandardOutput();
    QStringList lines = QString::fromLocal8Bit(m_output).split('\n', Qt::SkipEmptyParts);
    lines.removeFirst();
    return lines;
}

int EmulatorProcess::logged(const QString &prefix)
{
    return int(log().filter(QRegularExpression('^' + prefix)).size());
}

bool EmulatorProcess::waitForLogged(const QString &prefix, int count)
{
    while (logged(prefix) < count) {
        if (!m_process.waitForReadyRead(5000))
            return false;
    }
    return true;
}
