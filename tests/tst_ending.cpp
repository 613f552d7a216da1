// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Ways the program ends without Done: signals and a lost X server must still release the port
// (line settings back, exclusive flag off, no lock file left), and a start without any display
// must say so in one line and exit 1. Each case runs the utility as a process of its own,
// connected to the board emulator on a real pseudo-terminal.
#include "testboard.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The pty's slave side, opened by the test before the utility, so its settings and exclusive
// flag can be read whoever holds the port.
class LineWatch
{
public:
    explicit LineWatch(const QString &device)
        : m_fd(::open(QFile::encodeName(device).constData(),
                      O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {}
    ~LineWatch()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LineWatch(const LineWatch &) = delete;
    LineWatch &operator=(const LineWatch &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Every field of the line settings, for a readable comparison.
    QString settings() const
    {
        termios line = {};
        if (::tcgetattr(m_fd, &line) != 0)
            return QStringLiteral("tcgetattr failed");
        const QByteArray cc(reinterpret_cast<const char *>(line.c_cc), sizeof line.c_cc);
        return QStringLiteral("iflag %1 oflag %2 cflag %3 lflag %4 speed %5/%6 cc %7")
            .arg(line.c_iflag, 0, 16)
            .arg(line.c_oflag, 0, 16)
            .arg(line.c_cflag, 0, 16)
            .arg(line.c_lflag, 0, 16)
            .arg(cfgetispeed(&line))
            .arg(cfgetospeed(&line))
            .arg(QString::fromLatin1(cc.toHex()));
    }

    speed_t outputSpeed() const
    {
        termios line = {};
        ::tcgetattr(m_fd, &line);
        return cfgetospeed(&line);
    }

    bool exclusive() const
    {
        int flag = 0;
        return ::ioctl(m_fd, TIOCGEXCL, &flag) == 0 && flag != 0;
    }

private:
    int m_fd;
};

// Lock files whose first line is `pid`: Qt's format and the classic ten-character one both
// start with the PID.
QStringList locksOf(qint64 pid)
{
    const QByteArray wanted = QByteArray::number(pid);
    QStringList found;
    QSet<QString> seen;
    const auto scan = [&](const QString &dir, const QStringList &patterns) {
        const QString real = QFileInfo(dir).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real))
            return;
        seen.insert(real);
        const QFileInfoList files = QDir(real).entryInfoList(
            patterns, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
        for (const QFileInfo &file : files) {
            QFile lock(file.filePath());
            if (lock.open(QIODevice::ReadOnly) && lock.readLine(64).trimmed() == wanted)
                found << file.filePath();
        }
    };
    for (const char *dir : {"/var/lock", "/run/lock", "/var/lock/lockdev", "/var/spool/locks",
                            "/var/spool/uucp", "/etc/locks"})
        scan(QString::fromLatin1(dir), {});
    // Shared folders hold much else; only lock names there.
    for (const char *dir : {"/tmp", "/var/tmp"})
        scan(QString::fromLatin1(dir), {QStringLiteral("LCK..*")});
    return found;
}

bool holdsOpen(qint64 pid, const QString &device)
{
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QFileInfo &fd : fds.entryInfoList(QDir::AllEntries | QDir::System)) {
        if (fd.symLinkTarget() == device)
            return true;
    }
    return false;
}

// The utility connected to the board, in a process of its own.
class Utility
{
public:
    ~Utility()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
        // What a failed case left behind must not trouble later runs.
        if (m_pid > 0) {
            for (const QString &lock : locksOf(m_pid))
                QFile::remove(lock);
        }
    }

    bool connect(const QString &device, const QProcessEnvironment &environment,
                 const QStringList &then = {})
    {
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(ZARVEX_ENDING_CHILD), QStringList{device} + then);
        if (!m_process.waitForStarted(10000))
            return false;
        m_pid = m_process.processId();
        QByteArray output;
        while (!output.contains('\n') && m_process.waitForReadyRead(10000))
            output += m_process.readAllStandardOutput();
        if (output != "connected\n")
            qWarning("utility did not connect: %s", output.constData());
        return output == "connected\n";
    }

    // Still known once it has ended.
    qint64 pid() const { return m_pid; }
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    qint64 m_pid = 0;
};

QProcessEnvironment offscreen()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return environment;
}

} // namespace

class TstEnding : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void doneStillEndsWithZero();
    void signalReleasesThePort_data();
    void signalReleasesThePort();
    void lostDisplayReleasesThePort();
    void noDisplayIsOneLineAndExitOne_data();
    void noDisplayIsOneLineAndExitOne();

private:
    // Connects the utility and checks that it holds the port the way the checks after its end
    // can see: otherwise those would pass for a program that never took the port.
    void connectAndCheckHeld(Utility &utility, const QProcessEnvironment &environment);
    void checkReleased(qint64 pid);

    std::unique_ptr<TestBoard> m_board;
    std::unique_ptr<LineWatch> m_line;
    QString m_settingsBefore;
};

void TstEnding::init()
{
    m_board = std::make_unique<TestBoard>(3);
    QVERIFY(m_board->start());
    m_line = std::make_unique<LineWatch>(m_board->board().devicePath());
    QVERIFY(m_line->isOpen());
    m_settingsBefore = m_line->settings();
    QVERIFY(!m_line->exclusive());
}

void TstEnding::cleanup()
{
    m_line.reset();
    m_board.reset();
}

void TstEnding::connectAndCheckHeld(Utility &utility, const QProcessEnvironment &environment)
{
    QVERIFY(utility.connect(QDir(m_board->devDir()).filePath(QStringLiteral("com3")), environment));
    QVERIFY(holdsOpen(utility.pid(), m_board->board().devicePath()));
    QCOMPARE(m_line->outputSpeed(), speed_t(B9600));
    QVERIFY(m_line->settings() != m_settingsBefore);
    QVERIFY(m_line->exclusive());
    QCOMPARE(locksOf(utility.pid()).size(), 1);
}

void TstEnding::checkReleased(qint64 pid)
{
    QVERIFY(pid > 0);
    QCOMPARE(m_line->settings(), m_settingsBefore);
    QVERIFY2(!m_line->exclusive(), "the exclusive flag is left on the port");
    QCOMPARE(locksOf(pid), QStringList());
}

void TstEnding::doneStillEndsWithZero()
{
    Utility utility;
    QVERIFY(utility.connect(QDir(m_board->devDir()).filePath(QStringLiteral("com3")), offscreen(),
                            {"done"}));
    QVERIFY(utility.process().waitForFinished(10000));

    QCOMPARE(utility.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(utility.process().exitCode(), 0);
    checkReleased(utility.pid());
}

void TstEnding::signalReleasesThePort_data()
{
    QTest::addColumn<QList<int>>("sent");
    QTest::addColumn<QList<int>>("endsBy"); // any of these

    QTest::newRow("SIGTERM") << QList<int>{SIGTERM} << QList<int>{SIGTERM};
    QTest::newRow("SIGINT") << QList<int>{SIGINT} << QList<int>{SIGINT};
    QTest::newRow("SIGHUP (its terminal closed)") << QList<int>{SIGHUP} << QList<int>{SIGHUP};
    // The second arrives while the first ending runs, or is merged with it.
    QTest::newRow("SIGINT and SIGTERM at once")
        << QList<int>{SIGINT, SIGTERM} << QList<int>{SIGINT, SIGTERM};
    QTest::newRow("SIGTERM twice") << QList<int>{SIGTERM, SIGTERM} << QList<int>{SIGTERM};
}

void TstEnding::signalReleasesThePort()
{
    QFETCH(QList<int>, sent);
    QFETCH(QList<int>, endsBy);

    Utility utility;
    connectAndCheckHeld(utility, offscreen());
    if (QTest::currentTestFailed())
        return;
    for (const int signal : sent)
        ::kill(pid_t(utility.pid()), signal);
    QVERIFY(utility.process().waitForFinished(10000));

    // Ended by the signal's default action, as a shell expects, not by a crash or an exit.
    QCOMPARE(utility.process().exitStatus(), QProcess::CrashExit);
    QVERIFY2(endsBy.contains(utility.process().exitCode()),
             qPrintable(QStringLiteral("ended by signal %1").arg(utility.process().exitCode())));
    checkReleased(utility.pid());
}

void TstEnding::lostDisplayReleasesThePort()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        QSKIP("Xvfb is not installed (Debian package xvfb)");
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Xvfb picks a free display and writes its number once it takes connections.
    server.start(xvfb, {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    QByteArray display;
    while (!display.contains('\n') && server.waitForReadyRead(10000))
        display += server.readAllStandardOutput();
    QVERIFY2(!display.trimmed().isEmpty(), "Xvfb did not start");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), ':' + QString::fromLatin1(display.trimmed()));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    Utility utility;
    connectAndCheckHeld(utility, environment);
    if (QTest::currentTestFailed())
        return;

    server.kill();
    QVERIFY(server.waitForFinished(10000));
    QVERIFY(utility.process().waitForFinished(10000));

    // Qt's X11 support ends the program with exit(1) when the X server goes.
    QCOMPARE(utility.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(utility.process().exitCode(), 1);
    checkReleased(utility.pid());
}

void TstEnding::noDisplayIsOneLineAndExitOne_data()
{
    QTest::addColumn<QString>("platform"); // empty: not set
    QTest::addColumn<QString>("display");

    QTest::newRow("no display at all") << QString() << QString();
    QTest::newRow("a display nobody serves") << QString() << QStringLiteral(":9876");
    QTest::newRow("no such platform plugin") << QStringLiteral("nosuchplatform") << QString();
}

void TstEnding::noDisplayIsOneLineAndExitOne()
{
    QFETCH(QString, platform);
    QFETCH(QString, display);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Nothing that would hide Qt's own warnings, were they printed.
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "QT_LOGGING_RULES"})
        environment.remove(QString::fromLatin1(name));
    if (!platform.isEmpty())
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (!display.isEmpty())
        environment.insert(QStringLiteral("DISPLAY"), display);

    QProcess utility;
    utility.setProcessEnvironment(environment);
    utility.start(QStringLiteral(ZARVEX_TEST_PROGRAM), QStringList());
    QVERIFY(utility.waitForFinished(30000));

    QCOMPARE(utility.exitStatus(), QProcess::NormalExit);
    QCOMPARE(utility.exitCode(), 1);
    QCOMPARE(utility.readAllStandardError(),
             QByteArray("zarvex-test: no graphical display found; run it in a desktop session "
                        "or under xvfb-run\n"));
    QCOMPARE(utility.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(TstEnding)
#include "tst_ending.moc"
