// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// zarvex left to run unwatched, as a process of its own against the board emulator on a real
// pseudo-terminal: batch input of every shape, signals wherever it waits, a reader of its output
// that went away, output that cannot be written, and what its JSON says was sent.
#include "boardbytes.h"
#include "clirun.h"
#include "porttargets.h"
#include "testboard.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A pipe whose ends this test holds; one of them becomes a standard channel of zarvex.
class Pipe
{
public:
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            m_read = fds[0];
            m_write = fds[1];
        }
    }
    ~Pipe()
    {
        closeRead();
        ::close(m_write);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;

    int readEnd() const { return m_read; }
    int writeEnd() const { return m_write; }
    void closeRead()
    {
        ::close(m_read);
        m_read = -1;
    }
    // Filled until it takes no more: whoever writes to it next blocks. Through a writer of its
    // own, as O_NONBLOCK on the write end would be zarvex's too.
    bool fill()
    {
        const int writer = ::open(QByteArray("/proc/self/fd/" + QByteArray::number(m_write)),
                                  O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        const QByteArray bytes(4096, 'x');
        while (::write(writer, bytes.constData(), size_t(bytes.size())) > 0) {
        }
        const bool full = errno == EAGAIN;
        ::close(writer);
        return full;
    }
    // The first line that comes, read as `head -1` reads it.
    QByteArray firstLine()
    {
        QByteArray line;
        char c = 0;
        pollfd readable{m_read, POLLIN, 0};
        while (::poll(&readable, 1, 5000) > 0 && ::read(m_read, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }

private:
    int m_read = -1;
    int m_write = -1;
};

// The signals of a field of /proc/PID/status ("SigCgt", "ShdPnd"), and whether it sleeps.
quint64 signalsIn(qint64 pid, const QByteArray &field, bool *asleep = nullptr)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    quint64 mask = 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            mask = line.mid(field.size() + 1).trimmed().toULongLong(nullptr, 16);
        if (asleep && line.startsWith("State:"))
            *asleep = line.contains("(sleeping)");
    }
    return mask;
}

quint64 bit(int signal)
{
    return signal ? 1ull << (signal - 1) : 0;
}

// zarvex has its signal handlers in place (but for `ignored`, 0 for none) and, with sleeping,
// sleeps, waiting for something.
bool hasHandlers(qint64 pid, bool sleeping, int ignored)
{
    const quint64 handled = (bit(SIGINT) | bit(SIGTERM) | bit(SIGHUP)) & ~bit(ignored);
    return QTest::qWaitFor(
        [&] {
            bool asleep = false;
            const quint64 caught = signalsIn(pid, "SigCgt", &asleep);
            return (asleep || !sleeping) && (caught & handled) == handled;
        },
        5000);
}

// The signal sent is no longer pending: it was dropped, or its handler has run.
bool taken(qint64 pid, int signal)
{
    return QTest::qWaitFor(
        [&] { return ((signalsIn(pid, "SigPnd") | signalsIn(pid, "ShdPnd")) & bit(signal)) == 0; },
        5000);
}

// Ended by `signal` (0: exited with `code`).
void checkEnd(QProcess &process, int signal, int code)
{
    QVERIFY(process.waitForFinished(5000));
    if (signal == 0) {
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), code);
    } else {
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QCOMPARE(process.exitCode(), signal);
    }
}

QString sentText(const QJsonObject &reply)
{
    QStringList sent;
    for (const QJsonValue &command : reply.value(QLatin1String("sent")).toArray()) {
        const QJsonObject fields = command.toObject();
        sent << QStringLiteral("%1 %2 %3")
                    .arg(fields.value(QLatin1String("register")).toString(),
                         fields.value(QLatin1String("port")).toString())
                    .arg(fields.value(QLatin1String("value")).toInt());
    }
    return sent.join(QLatin1String(", "));
}

} // namespace

class TstCliFaults : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void batchInput_data();
    void batchInput();
    void signalsEndItWhereverItWaits_data();
    void signalsEndItWhereverItWaits();
    void readerGoneEndsIt_data();
    void readerGoneEndsIt();
    void outputThatCannotBeWritten_data();
    void outputThatCannotBeWritten();
    void jsonSaysWhatWasSent_data();
    void jsonSaysWhatWasSent();
    void signalWhileTheBoardTakesNothing();
    void signalDuringARemoteOpen_data();
    void signalDuringARemoteOpen();

private:
    QStringList onBoard(QStringList args) const
    {
        return QStringList{QStringLiteral("-d"), m_board->board().devicePath()} + args;
    }
    QString lockPath() const { return serialLayerLockPath(m_board->board().devicePath()); }

    std::unique_ptr<TestBoard> m_board;
};

void TstCliFaults::init()
{
    m_board = std::make_unique<TestBoard>();
    QVERIFY(m_board->start());
    m_board->board().setInputPattern(Port::A, 0x5A);
}

void TstCliFaults::cleanup()
{
    m_board.reset();
}

void TstCliFaults::batchInput_data()
{
    QTest::addColumn<QString>("input"); // pipe, file, directory, closed, broken
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<QString>("err");

    const QByteArray spaces(100000, ' ');
    const QByteArray longComment = "reset\n# disabled: " + spaces + "write A=0xFF\nread A\n";
    const QByteArray longCommand = "reset\nwrite " + spaces + "A=0xFF\nexpect A=0\n";
    const QString resetThenRead = resetCommands + " " + readPortsCommand;
    const QStringList none;
    const QStringList keepGoing{"--no-check", "--keep-going"};

    QTest::newRow("a long comment from a pipe is a comment")
        << "pipe" << keepGoing << longComment << 0 << true << QStringList{"ok", "ok A=0x5A"}
        << resetThenRead << QString();
    QTest::newRow("a long command from a pipe is refused whole")
        << "pipe" << keepGoing << longCommand << 2 << true
        << QStringList{"ok", "error line 2: line longer than 65536 bytes",
                       "fail line 3: expected A=0, read A=0x5A"}
        << resetThenRead << "line 2: line longer than 65536 bytes";
    QTest::newRow("a long command in a file opens nothing")
        << "file" << none << longCommand << 2 << false << none << QString()
        << "line 2: line longer than 65536 bytes";
    QTest::newRow("a file with CRLF, a long comment and no final newline")
        << "file" << QStringList{"--no-check"}
        << "reset\r\n#" + QByteArray(200000, 'x') + "\r\nread A" << 0 << true
        << QStringList{"ok", "ok A=0x5A"} << resetThenRead << QString();
    QTest::newRow("a pipe with CRLF and no final newline")
        << "pipe" << none << QByteArray("write A=0x01\r\n\r\nexpect A=0x5A") << 0 << true
        << QStringList{"ok", "ok A=0x5A"} << "41 01 " + readPortsCommand << QString();
    QTest::newRow("a pulse of no length is refused")
        << "file" << none << QByteArray("pulse A.3=1 0ms\n") << 2 << false << none << QString()
        << "line 1: pulse: 0ms is no pulse; it lasts 1ms at least";
    QTest::newRow("a directory as the file")
        << "directory" << none << QByteArray() << 2 << false << none << QString()
        << "cannot read %dir: Is a directory";
    QTest::newRow("a directory as the file, only checked")
        << "directory" << QStringList{"--check-only"} << QByteArray() << 2 << false << none
        << QString() << "cannot read %dir: Is a directory";
    QTest::newRow("standard input closed")
        << "closed" << none << QByteArray() << 0 << true << none << QString() << QString();
    QTest::newRow("standard input closed, only checked")
        << "closed" << QStringList{"--check-only"} << QByteArray() << 0 << false << none
        << QString() << QString();
    QTest::newRow("a read error is no end of input")
        << "broken" << none << QByteArray() << 2 << true << none << QString()
        << "batch: cannot read standard input: Input/output error";
    QTest::newRow("a read error, only checked")
        << "broken" << QStringList{"--check-only"} << QByteArray() << 2 << false << none
        << QString() << "batch: cannot read standard input: Input/output error";
}

void TstCliFaults::batchInput()
{
    QFETCH(QString, input);
    QFETCH(QStringList, options);
    QFETCH(QByteArray, script);
    QFETCH(int, code);
    QFETCH(bool, opens);
    QFETCH(QStringList, replies);
    QFETCH(QString, bytes);
    QFETCH(QString, err);

    QStringList args = onBoard(QStringList{"batch"} + options);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    std::function<void()> inChild;
    int master = -1;
    if (input == "file") {
        QFile file(dir.filePath("script"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script);
        args << "-f" << file.fileName();
    } else if (input == "directory") {
        args << "-f" << dir.path();
        err.replace("%dir", dir.path());
    } else if (input == "closed") {
        inChild = [] { ::close(STDIN_FILENO); };
    } else if (input == "broken") {
        // A terminal's master side whose other side has closed: every read fails with EIO.
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        QVERIFY(slave >= 0);
        ::close(slave);
        inChild = [master] { ::dup2(master, STDIN_FILENO); };
    }
    QProcess *process = start(args, this, inChild);
    const Run run = finish(*process, input == "pipe" ? script : QByteArray());
    if (master >= 0)
        ::close(master);

    QCOMPARE(run.code, code);
    if (opens) {
        QCOMPARE(run.out.value(0), "open " + m_board->board().devicePath());
        QCOMPARE(run.out.mid(1), replies);
    } else {
        QCOMPARE(run.out, QStringList());
    }
    QCOMPARE(hexBytes(m_board->receivedWhenQuiet()), bytes);
    if (err.isEmpty())
        QCOMPARE(run.err, QString());
    else
        QVERIFY2(run.err.count(err) == 1, qPrintable(run.err));
    QVERIFY(!QFile::exists(lockPath()));
}

void TstCliFaults::signalsEndItWhereverItWaits_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("waitsOn"); // "full output", "fifo", or "" (anywhere)
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("exitsWith0"); // watch; the others end by the signal
    // Ignored when zarvex starts, as under nohup or in a background job, and sent first: it
    // must stay ignored.
    QTest::addColumn<int>("ignored");

    QTest::newRow("watch, output full")
        << QStringList{"watch", "--interval", "10m"} << "full output" << SIGTERM << true << 0;
    QTest::newRow("read, output full")
        << QStringList{"read"} << "full output" << SIGINT << false << 0;
    QTest::newRow("batch, output full")
        << QStringList{"batch"} << "full output" << SIGHUP << false << 0;
    QTest::newRow("batch from a FIFO nobody writes")
        << QStringList{"batch", "-f", "%fifo"} << "fifo" << SIGTERM << false << 0;
    QTest::newRow("batch checking a FIFO nobody writes")
        << QStringList{"batch", "--check-only", "-f", "%fifo"} << "fifo" << SIGINT << false << 0;
    QTest::newRow("watch, from its first moment")
        << QStringList{"watch"} << "" << SIGINT << true << 0;
    QTest::newRow("batch from a FIFO under nohup")
        << QStringList{"batch", "-f", "%fifo"} << "fifo" << SIGTERM << false << SIGHUP;
    QTest::newRow("read, output full, as a background job")
        << QStringList{"read"} << "full output" << SIGTERM << false << SIGINT;
}

void TstCliFaults::signalsEndItWhereverItWaits()
{
    QFETCH(QStringList, args);
    QFETCH(QString, waitsOn);
    QFETCH(int, signal);
    QFETCH(bool, exitsWith0);
    QFETCH(int, ignored);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath("fifo");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    args.replaceInStrings("%fifo", fifo);
    Pipe output;
    if (waitsOn == "full output")
        QVERIFY(output.fill());
    const int stdoutFd = waitsOn == "full output" ? output.writeEnd() : -1;
    QProcess *process = start(onBoard(args), this, [stdoutFd, ignored] {
        if (stdoutFd >= 0)
            ::dup2(stdoutFd, STDOUT_FILENO);
        if (ignored)
            ::signal(ignored, SIG_IGN);
    });
    QVERIFY(process->waitForStarted());
    if (waitsOn == "full output")
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(lockPath()); }, 5000));
    // Without a wait to be in: the handlers come before anything else, so from then on.
    const auto pid = pid_t(process->processId());
    QVERIFY(hasHandlers(pid, !waitsOn.isEmpty(), ignored));
    // Had it been caught, it would have been the first, and so the one that ends zarvex.
    if (ignored) {
        ::kill(pid, ignored);
        QVERIFY(taken(pid, ignored));
        QCOMPARE(process->state(), QProcess::Running);
    }
    ::kill(pid, signal);
    checkEnd(*process, exitsWith0 ? 0 : signal, 0);
    QVERIFY(!QFile::exists(lockPath()));
    if (waitsOn == "fifo")
        QCOMPARE(m_board->receivedWhenQuiet(), QByteArray());
}

void TstCliFaults::readerGoneEndsIt_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("readerGoes"); // "after a line", "once it runs", "before"
    QTest::addColumn<int>("signal");         // 0: exit status 0

    QTest::newRow("watch | head -1")
        << QStringList{"watch", "A", "--interval", "10ms"} << "after a line" << 0;
    QTest::newRow("wait, the reader gone meanwhile")
        << QStringList{"wait", "A=0", "--timeout", "forever", "--interval", "10ms"}
        << "once it runs" << SIGPIPE;
    QTest::newRow("batch waiting for a line, the reader gone")
        << QStringList{"batch"} << "after a line" << SIGPIPE;
    QTest::newRow("read into a pipe nobody reads") << QStringList{"read"} << "before" << SIGPIPE;
    // It prints nothing, and so needs no reader.
    QTest::newRow("batch only checking, nobody reading")
        << QStringList{"batch", "--check-only"} << "before" << 0;
}

void TstCliFaults::readerGoneEndsIt()
{
    QFETCH(QStringList, args);
    QFETCH(QString, readerGoes);
    QFETCH(int, signal);

    Pipe output;
    if (readerGoes == "before")
        output.closeRead();
    QProcess *process =
        start(onBoard(args), this, [fd = output.writeEnd()] { ::dup2(fd, STDOUT_FILENO); });
    if (readerGoes == "before")
        process->closeWriteChannel();
    if (readerGoes == "after a line") {
        QVERIFY(!output.firstLine().isEmpty());
        output.closeRead();
    } else if (readerGoes == "once it runs") {
        QVERIFY(m_board->board().waitForReceived(3, 5000));
        output.closeRead();
    }
    checkEnd(*process, signal, 0);
    QVERIFY(!QFile::exists(lockPath()));
}

void TstCliFaults::outputThatCannotBeWritten_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");

    QTest::newRow("read") << QStringList{"read"} << QByteArray();
    QTest::newRow("read, JSON") << QStringList{"--json", "read"} << QByteArray();
    QTest::newRow("watch") << QStringList{"watch"} << QByteArray();
    QTest::newRow("batch") << QStringList{"batch"} << QByteArray("read\nread\n");
}

void TstCliFaults::outputThatCannotBeWritten()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);

    QProcess *process = start(onBoard(args), this, [] {
        const int full = ::open("/dev/full", O_WRONLY);
        ::dup2(full, STDOUT_FILENO);
    });
    const Run run = finish(*process, input);
    QCOMPARE(run.code, 6);
    QCOMPARE(run.err, QString("zarvex: cannot write the results: No space left on device\n"));
    QVERIFY(!QFile::exists(lockPath()));
}

void TstCliFaults::jsonSaysWhatWasSent_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("answers");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("sent"); // of the last reply

    QTest::newRow("write, its check unanswered")
        << QStringList{"write", "A=0x01", "B=0x02"} << QByteArray() << false << 4
        << "write A 1, write B 2";
    QTest::newRow("reset, its check unanswered")
        << QStringList{"reset"} << QByteArray() << false << 4
        << "direction A 255, direction B 255, direction C 255, write A 0, write B 0, write C 0";
    QTest::newRow("a pulse in a batch")
        << QStringList{"--no-check", "batch"} << QByteArray("write A=0x80\npulse A.0=1 1ms\n")
        << true << 0 << "write A 129, write A 128";
}

void TstCliFaults::jsonSaysWhatWasSent()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(bool, answers);
    QFETCH(int, code);
    QFETCH(QString, sent);

    if (!answers)
        m_board->board().setReplyMode(PtyBoard::ReplyMode::Silent);
    const Run run = zarvex(onBoard(QStringList{"--json"} + args), input);
    QCOMPARE(run.code, code);
    QVERIFY(!run.out.isEmpty());
    const QJsonObject reply = QJsonDocument::fromJson(run.out.constLast().toUtf8()).object();
    QCOMPARE(reply.value("ok").toBool(), code == 0);
    QCOMPARE(sentText(reply), sent);
}

void TstCliFaults::signalWhileTheBoardTakesNothing()
{
    // A port whose far side reads nothing: once the system's buffer is full, a write waits.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    QVERIFY(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString device = QString::fromLocal8Bit(::ptsname(master));
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(slave >= 0);
    QStringList args{"-d", device, "--json", "--no-check", "write"};
    for (int i = 0; i < 40000; ++i)
        args << QStringLiteral("A=%1").arg(i % 256);
    QProcess *process = start(args, this);
    QVERIFY(QTest::qWaitFor(
        [&] {
            int waiting = 0;
            return ::ioctl(master, FIONREAD, &waiting) == 0 && waiting > 0;
        },
        5000));
    QVERIFY(hasHandlers(process->processId(), true, 0));
    ::kill(pid_t(process->processId()), SIGTERM);
    checkEnd(*process, SIGTERM, 0);
    QVERIFY(!QFile::exists(serialLayerLockPath(device)));

    const QStringList out = lines(process->readAllStandardOutput());
    QCOMPARE(out.size(), 1);
    const QJsonObject reply = QJsonDocument::fromJson(out[0].toUtf8()).object();
    QCOMPARE(reply.value("ok").toBool(), false);
    QCOMPARE(reply.value("exit").toInt(), 128 + SIGTERM);
    const QJsonArray sent = reply.value("sent").toArray();
    QVERIFY(!sent.isEmpty() && sent.size() < 40000);
    // Exactly what went out, and nothing of the command the signal cut short.
    QByteArray expected;
    for (qsizetype i = 0; i < sent.size(); ++i)
        expected += QByteArray("A") + char(i % 256);
    QByteArray received;
    char bytes[4096];
    for (ssize_t n = 0; (n = ::read(master, bytes, sizeof bytes)) > 0;)
        received.append(bytes, n);
    QCOMPARE(received.size(), expected.size());
    QCOMPARE(received, expected);
    ::close(slave);
    ::close(master);
}

void TstCliFaults::signalDuringARemoteOpen_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("exitsWith0"); // watch; the others end by the signal
    QTest::newRow("read") << QStringList{"--json", "read"} << false;
    QTest::newRow("batch") << QStringList{"--json", "batch"} << false;
    QTest::newRow("watch") << QStringList{"--json", "watch"} << true;
}

// A server that lets us connect and never negotiates: the signal ends the open as any other
// wait, and the open object says the same status as the process.
void TstCliFaults::signalDuringARemoteOpen()
{
    QFETCH(QStringList, args);
    QFETCH(bool, exitsWith0);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(ntohs(address.sin_port));
    QProcess *process = start(QStringList{"-d", url} + args, this);
    pollfd connected{listener, POLLIN, 0};
    QVERIFY(::poll(&connected, 1, 5000) == 1);
    ::kill(pid_t(process->processId()), SIGTERM);
    checkEnd(*process, exitsWith0 ? 0 : SIGTERM, 0);
    ::close(listener);
    const QStringList out = lines(process->readAllStandardOutput());
    QCOMPARE(out.size(), 1);
    const QJsonObject open = QJsonDocument::fromJson(out[0].toUtf8()).object();
    QCOMPARE(open.value("type").toString(), QString("open"));
    QCOMPARE(open.value("reason").toString(), QString("interrupted"));
    QCOMPARE(open.value("exit").toInt(), exitsWith0 ? 0 : 128 + SIGTERM);
}

QTEST_GUILESS_MAIN(TstCliFaults)
#include "tst_clifaults.moc"
