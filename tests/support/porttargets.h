// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

// Ports that are not ours to use, made for real: a shell's terminal, another program's
// exclusive mode, live and stale lock files. Each cleans up after itself.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>

#include <sys/types.h>

// A pseudo-terminal whose slave stays open here (without becoming anyone's terminal), so that
// whatever any program writes to the slave can be read back from the master.
class TestPty
{
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;

    bool isValid() const { return m_slaveFd >= 0; }
    QString slavePath() const { return m_slavePath; }
    int slaveFd() const { return m_slaveFd; }
    // Everything written to the slave so far and not yet taken.
    QByteArray written();
    // Another program's exclusive mode (TIOCEXCL), set through our own descriptor.
    bool setExclusive();
    bool isExclusive() const;

private:
    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_slavePath;
};

// A real child process running `sleep`, killed and reaped on destruction. Its name is "sleep"
// from the moment start() returns.
class SleepingChild
{
public:
    SleepingChild() = default;
    ~SleepingChild();
    SleepingChild(const SleepingChild &) = delete;
    SleepingChild &operator=(const SleepingChild &) = delete;

    // Starts it as a plain child.
    bool start();
    // Starts it as a login shell does: a session of its own with terminalPath as its
    // controlling terminal and standard input, output and error.
    bool startOnTerminal(const QString &terminalPath);
    pid_t pid() const { return m_pid; }

private:
    bool spawn(const QByteArray &terminalPath);

    pid_t m_pid = -1;
};

// The pid of a process that has ended (and been reaped).
pid_t endedPid();

enum class LockFormat {
    Classic,     // the pid in ten characters and a newline
    SerialLayer, // the serial layer's own: pid, program name, host name, one a line
    Binary,      // the pid as a 4-byte int
    Garbage,     // names no process
};

// Writes a lock file and removes it again on destruction (if it is still there).
class LockFileWriter
{
public:
    LockFileWriter(const QString &path, LockFormat format, qint64 pid,
                   const QString &host = QString());
    ~LockFileWriter();
    LockFileWriter(const LockFileWriter &) = delete;
    LockFileWriter &operator=(const LockFileWriter &) = delete;

    bool isWritten() const { return m_written; }
    QString path() const { return m_path; }

private:
    QString m_path;
    bool m_written = false;
};

// The lock file name the serial layer uses for a device under /dev ("/dev/pts/3" gives
// "LCK..pts_3"), in the system lock directory.
QString serialLayerLockPath(const QString &device);

// Runs work on a thread of its own with the given user and group ids (and no supplementary
// groups), then returns to the caller's ids; false when the ids could not be taken. Needs root.
bool runAsUser(uid_t uid, gid_t gid, const std::function<void()> &work);

// The emulator executable, started as its own process and linked into the test's device
// folder, so that it can be killed like a board whose driver dies, or stopped like one that
// takes no bytes. Ended on destruction.
class EmulatorProcess
{
public:
    EmulatorProcess() = default;
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;

    // Starts program with a link at `link` and every command logged, and returns once the
    // link is in place.
    bool start(const QString &program, const QString &link, const QStringList &options);
    qint64 pid() const { return m_process.processId(); }
    void signal(int number);
    bool waitForExit();

    // Takes in what the emulator has logged, without waiting: it drops lines nobody reads.
    void collect();
    // The decoded commands logged so far, after the device path.
    QStringList log();
    int logged(const QString &prefix);
    bool waitForLogged(const QString &prefix, int count);

private:
    QProcess m_process;
    QByteArray m_output;
};
