// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardmodel.h"
#include "ptyboard.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace {

// Keeps embedded NULs: raw("A\0") is two bytes.
template<qsizetype N> QByteArray raw(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

QByteArray bytes(std::initializer_list<quint8> values)
{
    QByteArray result;
    for (const quint8 value : values)
        result.append(char(value));
    return result;
}

QStringList describe(const std::vector<BoardModel::Event> &events)
{
    QStringList lines;
    for (const BoardModel::Event &event : events)
        lines << QString::fromStdString(BoardModel::describe(event));
    return lines;
}

// The host side, opened as a serial port library would: plain POSIX calls, no controlling tty.
class PtyClient
{
public:
    explicit PtyClient(const QString &path, bool makeRaw = true)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        termios settings{};
        if (m_fd >= 0 && makeRaw && ::tcgetattr(m_fd, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(m_fd, TCSANOW, &settings);
        }
    }
    ~PtyClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    PtyClient(const PtyClient &) = delete;
    PtyClient &operator=(const PtyClient &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool write(const QByteArray &data)
    {
        return ::write(m_fd, data.constData(), data.size()) == data.size();
    }

    // Whatever arrives until count bytes are in or the time is up.
    QByteArray read(qsizetype count, int timeoutMs)
    {
        QByteArray data;
        QElapsedTimer timer;
        timer.start();
        while (data.size() < count) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, int(qMax<qint64>(0, timeoutMs - timer.elapsed()))) <= 0)
                break;
            char buffer[256];
            const ssize_t got =
                ::read(m_fd, buffer, qMin<qsizetype>(sizeof buffer, count - data.size()));
            if (got <= 0)
                break;
            data.append(buffer, got);
        }
        return data;
    }

private:
    int m_fd;
};

// Whether the device is in exclusive mode. Root's opens are never refused, so the flag is
// asked for; another user's open fails with EBUSY.
bool isExclusive(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool asked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0;
    ::close(fd);
    return asked && exclusive != 0;
}

// A client in a process of its own, as a serial port library opens a port: it sets the
// exclusive flag, says so, and waits to be killed or told to exit.
class ExclusiveClient
{
public:
    explicit ExclusiveClient(const QString &path)
    {
        const QByteArray name = QFile::encodeName(path);
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls: the parent has threads.
            ::signal(SIGTERM, SIG_DFL);
            const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0 ? 1 : 0;
            [[maybe_unused]] const ssize_t written = ::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char ok = 0;
        m_opened = m_pid > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
    }
    ~ExclusiveClient() { end(SIGKILL); }
    ExclusiveClient(const ExclusiveClient &) = delete;
    ExclusiveClient &operator=(const ExclusiveClient &) = delete;

    bool opened() const { return m_opened; }
    void end(int signal)
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, signal);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    bool m_opened = false;
};

// The emulator executable with its standard output on a pipe the test reads, or stops
// reading, or closes, as a shell pipeline would.
class EmulatorProcess
{
public:
    explicit EmulatorProcess(const QStringList &arguments)
    {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            return;
        QByteArrayList args{QByteArrayLiteral(ZARVEX_EMULATOR_PATH)};
        for (const QString &argument : arguments)
            args << argument.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
    }
    ~EmulatorProcess()
    {
        closeOutput();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    EmulatorProcess(const EmulatorProcess &) = delete;
    EmulatorProcess &operator=(const EmulatorProcess &) = delete;

    pid_t pid() const { return m_pid; }
    // The next line, without its end; empty once the output ended.
    QString readLine()
    {
        while (!m_buffer.contains('\n')) {
            pollfd ready{m_out, POLLIN, 0};
            if (::poll(&ready, 1, 20000) <= 0)
                return {};
            char chunk[4096];
            const ssize_t got = ::read(m_out, chunk, sizeof chunk);
            if (got <= 0)
                return {};
            m_buffer.append(chunk, got);
        }
        const qsizetype end = m_buffer.indexOf('\n');
        const QString line = QString::fromLocal8Bit(m_buffer.left(end));
        m_buffer.remove(0, end + 1);
        return line;
    }
    void closeOutput()
    {
        if (m_out >= 0)
            ::close(m_out);
        m_out = -1;
    }
    // The wait status after SIGTERM.
    int terminate()
    {
        int status = -1;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }
    // VmHWM, in KiB.
    qint64 peakResidentKiB() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(m_pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    QByteArray m_buffer;
};

// Writes all of `data` to a non-blocking descriptor, waiting for room as it goes.
bool writeAll(int fd, const QByteArray &data)
{
    for (qsizetype at = 0; at < data.size();) {
        const ssize_t count = ::write(fd, data.constData() + at, size_t(data.size() - at));
        if (count > 0) {
            at += count;
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd ready{fd, POLLOUT, 0};
        if (::poll(&ready, 1, 10000) <= 0)
            return false;
    }
    return true;
}

} // namespace

class TestEmulator : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_board.reset(); }

    void decoding_data();
    void decoding();
    void readBackFollowsDirection();

    void recordsEveryByteRawAndInOrder();
    void servesAgainAfterClientCloses();
    void replyModes_data();
    void replyModes();
    void replyDelayKeepsReading();
    void injectReachesHostUnrecorded();
    void hangUpIsSeenByHost();
    void exclusiveModeEndsWithLastClient_data();
    void exclusiveModeEndsWithLastClient();
    void commandLineTool();
    void commandLineInput_data();
    void commandLineInput();
    void closedOutputKeepsServingAndRemovesLink();
    void unreadLogDropsLinesWithCount();
    void commandLineLog_data();
    void commandLineLog();

private:
    std::unique_ptr<PtyBoard> m_board;
};

void TestEmulator::init()
{
    m_board = std::make_unique<PtyBoard>();
    std::string error;
    QVERIFY2(m_board->start(&error), error.c_str());
}

void TestEmulator::decoding_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("expected");

    const QString noInputs = QStringLiteral("read-ports -> 00 00 00");
    QTest::newRow("write value is '!'")
        << raw("!A\0A!abc")
        << QStringList{"set-direction A 00", "write-port A 21", "read-ports -> 21 00 00"};
    QTest::newRow("direction value is 'a'")
        << raw("!Baabc") << QStringList{"set-direction B 61", noInputs};
    QTest::newRow("write value is 'a', then stray 'b' 'c'")
        << raw("AabcCA")
        << QStringList{"write-port A 61", "ignored 62", "ignored 63", "write-port C 41"};
    QTest::newRow("stray bytes") << raw("\x7F\0Zd\xFF")
                                 << QStringList{"ignored 7F", "ignored 00", "ignored 5A",
                                                "ignored 64", "ignored FF"};
    QTest::newRow("'!' without a port")
        << raw("!xabc") << QStringList{"ignored 21", "ignored 78", noInputs};
    QTest::newRow("'!' then lower-case port starts a read")
        << raw("!abc") << QStringList{"ignored 21", noInputs};
    QTest::newRow("'!' twice") << raw("!!C\x0F") << QStringList{"ignored 21", "set-direction C 0F"};
    QTest::newRow("read broken off twice") << raw("aXab!A\x01")
                                           << QStringList{"ignored 61", "ignored 58", "ignored 61",
                                                          "ignored 62", "set-direction A 01"};
    QTest::newRow("read restarts on 'a'") << raw("aabc") << QStringList{"ignored 61", noInputs};
    QTest::newRow("read restarts on 'a' after 'ab'")
        << raw("ababc") << QStringList{"ignored 61", "ignored 62", noInputs};
    QTest::newRow("unfinished commands wait") << raw("!C") << QStringList{};
}

void TestEmulator::decoding()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, expected);

    BoardModel whole;
    QCOMPARE(describe(whole.feed(input.toStdString())), expected);

    // Bytes come off the pty in arbitrary pieces; decoding must not care.
    BoardModel byByte;
    std::vector<BoardModel::Event> events;
    for (const char byte : input) {
        const std::vector<BoardModel::Event> more = byByte.feed(quint8(byte));
        events.insert(events.end(), more.begin(), more.end());
    }
    QCOMPARE(describe(events), expected);
}

void TestEmulator::readBackFollowsDirection()
{
    BoardModel board;
    board.setInputPattern(Port::A, 0x3C);
    board.setInputPattern(Port::B, 0x5A);
    board.setInputPattern(Port::C, 0x81);
    // Power-up: all inputs.
    QCOMPARE(QByteArray::fromStdString(board.readPorts()), bytes({0x3C, 0x5A, 0x81}));

    // The output register is kept while its lines are inputs and shows once they are outputs.
    board.feed("A\xFF");
    QCOMPARE(board.readPort(Port::A), quint8(0x3C));
    board.feed("!A\x0F");
    QCOMPARE(board.readPort(Port::A), quint8(0xFC)); // low nibble pattern, high nibble output

    board.feed(raw("!B\0B\xA5").toStdString());
    const std::vector<BoardModel::Event> events = board.feed("abc");
    QCOMPARE(events.size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(events[0].reply), bytes({0xFC, 0xA5, 0x81}));
    QCOMPARE(board.direction(Port::A), quint8(0x0F));
    QCOMPARE(board.output(Port::A), quint8(0xFF));

    board.reset();
    QCOMPARE(QByteArray::fromStdString(board.readPorts()), bytes({0x3C, 0x5A, 0x81}));
    QCOMPARE(board.output(Port::A), quint8(0));
}

void TestEmulator::recordsEveryByteRawAndInOrder()
{
    PtyClient client(QString::fromStdString(m_board->devicePath()));
    QVERIFY(client.isOpen());

    // Every octet, including CR, LF, ^C, ^D, XON/XOFF and DEL, must pass the line discipline
    // untouched and in order.
    QByteArray all;
    for (int value = 0; value < 256; ++value)
        all.append(char(value));
    QVERIFY(client.write(all));
    QVERIFY(m_board->waitForReceived(all.size(), 2000));
    QCOMPARE(QByteArray::fromStdString(m_board->received()), all);
    // Within 00..FF, 'A' takes 'B' as its value, 'C' takes 'D', and "abc" is one read.
    QCOMPARE(m_board->output(Port::A), quint8('B'));
    QCOMPARE(m_board->output(Port::C), quint8('D'));
    QCOMPARE(m_board->readRequests(), 1);
    QCOMPARE(client.read(3, 2000).size(), 3);

    m_board->clearReceived();
    QVERIFY(client.write("B\x10"));
    QVERIFY(m_board->waitForReceived(2, 2000));
    QCOMPARE(QByteArray::fromStdString(m_board->received()), QByteArray("B\x10"));
    QCOMPARE(m_board->readRequests(), 0);
}

void TestEmulator::servesAgainAfterClientCloses()
{
    m_board->setInputPattern(Port::B, '\r');
    const QByteArray reply = bytes({0, '\r', 0});

    // Neither client touches termios: the line must already be raw, so no echo back to the
    // board, no waiting for a line end, no CR/LF mapping either way.
    {
        PtyClient first(QString::fromStdString(m_board->devicePath()), false);
        QVERIFY(first.write("A\rC\nabc"));
        QCOMPARE(first.read(3, 2000), reply);
    }
    PtyClient second(QString::fromStdString(m_board->devicePath()), false);
    QVERIFY(second.write("abc"));
    QCOMPARE(second.read(3, 2000), reply);

    QVERIFY(m_board->waitForReceived(10, 2000));
    QCOMPARE(QByteArray::fromStdString(m_board->received()), QByteArray("A\rC\nabcabc"));
    QCOMPARE(m_board->output(Port::A), quint8('\r'));
    QCOMPARE(m_board->output(Port::C), quint8('\n'));
}

void TestEmulator::replyModes_data()
{
    QTest::addColumn<PtyBoard::ReplyMode>("mode");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("logLine");

    using Mode = PtyBoard::ReplyMode;
    QTest::newRow("normal") << Mode::Normal << bytes({0x01, 0x80, 0xFF})
                            << "read-ports -> 01 80 FF";
    QTest::newRow("short") << Mode::Short << bytes({0x01, 0x80})
                           << "read-ports -> 01 80 (short reply)";
    QTest::newRow("extra") << Mode::Extra << bytes({0x01, 0x80, 0xFF, PtyBoard::ExtraReplyByte})
                           << "read-ports -> 01 80 FF E5 (extra byte)";
    QTest::newRow("silent") << Mode::Silent << QByteArray() << "read-ports -> no reply (silent)";
}

void TestEmulator::replyModes()
{
    QFETCH(PtyBoard::ReplyMode, mode);
    QFETCH(QByteArray, expected);
    QFETCH(QString, logLine);

    std::mutex mutex;
    QStringList log;
    m_board->setLogHandler([&](const std::string &line) {
        std::lock_guard lock(mutex);
        log << QString::fromStdString(line);
    });
    m_board->setInputPattern(Port::A, 0x01);
    m_board->setInputPattern(Port::B, 0x80);
    m_board->setInputPattern(Port::C, 0xFF);
    m_board->setReplyMode(mode);
    PtyClient client(QString::fromStdString(m_board->devicePath()));
    QVERIFY(client.write("?abc"));
    QVERIFY(m_board->waitForReceived(4, 2000));
    QCOMPARE(client.read(expected.size(), 2000), expected);
    QCOMPARE(client.read(1, 300), QByteArray()); // and nothing after it
    QCOMPARE(m_board->readRequests(), 1);

    m_board->stop(); // no handler calls after this
    QCOMPARE(log, QStringList({"ignored 3F", logLine}));
}

void TestEmulator::replyDelayKeepsReading()
{
    constexpr int delayMs = 600;
    m_board->setInputPattern(Port::C, 0x5C);
    m_board->setReplyDelay(delayMs);
    PtyClient client(QString::fromStdString(m_board->devicePath()));

    QElapsedTimer timer;
    timer.start();
    QVERIFY(client.write("abc"));
    QVERIFY(m_board->waitForReceived(3, 2000));
    // A command sent while the reply waits is taken in at once, not after the reply.
    QVERIFY(client.write(raw("!B\0")));
    QVERIFY(m_board->waitForReceived(6, 2000));
    QVERIFY2(client.read(1, 0).isEmpty(), "reply came before its delay");

    QCOMPARE(client.read(3, delayMs + 2000), bytes({0, 0, 0x5C}));
    QVERIFY2(timer.elapsed() >= delayMs, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(m_board->direction(Port::B), quint8(0));
}

void TestEmulator::injectReachesHostUnrecorded()
{
    PtyClient client(QString::fromStdString(m_board->devicePath()));
    const QByteArray unasked = bytes({0x00, 0xFF, 0x0D, 0x0A, 0x13});
    m_board->inject(unasked.toStdString());
    QCOMPARE(client.read(unasked.size(), 2000), unasked);
    QVERIFY(m_board->received().empty());
}

void TestEmulator::hangUpIsSeenByHost()
{
    const QString path = QString::fromStdString(m_board->devicePath());
    PtyClient client(path);
    QVERIFY(client.write("A\x01"));
    QVERIFY(m_board->waitForReceived(2, 2000));

    m_board->hangUp();
    QVERIFY(!m_board->isRunning());
    QCOMPARE(QByteArray::fromStdString(m_board->received()), QByteArray("A\x01"));

    pollfd fd{client.fd(), POLLIN, 0};
    QCOMPARE(::poll(&fd, 1, 2000), 1);
    QVERIFY(fd.revents & POLLHUP);
    char byte;
    const ssize_t got = ::read(client.fd(), &byte, 1);
    QVERIFY2(got == 0 || (got < 0 && errno == EIO), qPrintable(qt_error_string(errno)));
    QVERIFY(!client.write("abc"));
    QVERIFY(!PtyClient(path).isOpen());
}

void TestEmulator::exclusiveModeEndsWithLastClient_data()
{
    QTest::addColumn<int>("ending");
    QTest::addColumn<bool>("otherClientOpen");

    QTest::newRow("killed") << SIGKILL << false;
    QTest::newRow("terminated") << SIGTERM << false;
    QTest::newRow("terminated, another client still open") << SIGTERM << true;
    QTest::newRow("killed, another client still open") << SIGKILL << true;
}

void TestEmulator::exclusiveModeEndsWithLastClient()
{
    QFETCH(int, ending);
    QFETCH(bool, otherClientOpen);

    const QString path = QString::fromStdString(m_board->devicePath());
    auto other = otherClientOpen ? std::make_unique<PtyClient>(path) : nullptr;
    ExclusiveClient client(path);
    QVERIFY(client.opened());
    QVERIFY(isExclusive(path));
    client.end(ending);

    if (other) {
        // A round trip after the client is gone: the board has taken note of the close by
        // then, and the flag stays while a client has the device open.
        QVERIFY(other->write("abc"));
        QCOMPARE(other->read(3, 2000).size(), 3);
        QVERIFY(isExclusive(path));
    }
    other.reset();
    // Asked once a round: each look opens the device, and while the board's thread checks
    // for clients it lifts the flag for a moment and puts it back for the one looking, so a
    // second look in the same round (as QTRY_VERIFY takes) can see it back.
    QVERIFY(QTest::qWaitFor([&] { return !isExclusive(path); }, 5000));
    // And a new client can take the port for itself again.
    ExclusiveClient again(path);
    QVERIFY(again.opened());
    QVERIFY(isExclusive(path));
}

// The executable as a user runs it: options, the link, live inputs, the decoded log, and a
// clean exit on SIGTERM that takes the link with it.
void TestEmulator::commandLineTool()
{
    const QString program = QStringLiteral(ZARVEX_EMULATOR_PATH);
    for (const QStringList &bad : {QStringList{"--count", "D"}, QStringList{"--input", "Q=1"},
                                   QStringList{"--count", "C", "--count-interval", "0"}}) {
        QProcess process;
        process.start(program, bad);
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitCode(), 2);
    }
    QProcess version;
    version.start(program, {"--version"});
    QVERIFY(version.waitForFinished(5000));
    QCOMPARE(version.exitCode(), 0);
    const QString versionText = QString::fromLatin1(version.readAllStandardOutput());
    QVERIFY2(
        QRegularExpression("^zarvex-board-emulator \\d+\\.\\d+\n$").match(versionText).hasMatch(),
        qPrintable(versionText));

    QTemporaryDir dir;
    const QString link = dir.filePath("com3");
    QProcess emulator;
    emulator.start(program,
                   {"--link", link, "--input", "A=5A", "--count", "c", "--count-interval", "20"});
    QVERIFY(emulator.waitForStarted());
    QTRY_VERIFY(emulator.canReadLine());
    const QString device = QString::fromLocal8Bit(emulator.readLine()).trimmed();
    QCOMPARE(QFileInfo(link).symLinkTarget(), device);

    PtyClient client(link);
    QVERIFY(client.isOpen());
    QVERIFY(client.write("abc"));
    const QByteArray first = client.read(3, 2000);
    QCOMPARE(first.size(), 3);
    QCOMPARE(first.left(2), bytes({0x5A, 0x00}));
    QTest::qWait(100);
    QVERIFY(client.write(raw("!A\xFE") + raw("B\x05") + "abc"));
    const QByteArray second = client.read(3, 2000);
    QCOMPARE(second.size(), 3);
    QVERIFY(second.at(2) != first.at(2)); // port C counts

    QByteArray log;
    QTRY_VERIFY((log += emulator.readAllStandardOutput()).count('\n') >= 4);
    const QStringList lines = QString::fromLatin1(log).split('\n', Qt::SkipEmptyParts);
    const QRegularExpression reply("^read-ports -> 5A 00 [0-9A-F]{2}$");
    QVERIFY2(reply.match(lines[0]).hasMatch(), qPrintable(lines[0]));
    QCOMPARE(lines.mid(1, 2), QStringList({"set-direction A FE", "write-port B 05"}));
    QVERIFY2(reply.match(lines[3]).hasMatch(), qPrintable(lines[3]));

    emulator.terminate();
    QVERIFY(emulator.waitForFinished(5000));
    QCOMPARE(emulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(emulator.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestEmulator::commandLineInput_data()
{
    // What --input sets port A to, or -1 when the emulator must refuse it with status 2.
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("portA");

    QTest::newRow("two digits") << "A=3C" << 0x3C;
    QTest::newRow("lower case, 0x") << "a=0x3c" << 0x3C;
    QTest::newRow("one digit") << "A=5" << 0x05;
    QTest::newRow("plus sign") << "A=+5" << -1;
    QTest::newRow("minus sign") << "A=-1" << -1;
    QTest::newRow("space before") << "A= 5" << -1;
    QTest::newRow("space after") << "A=5 " << -1;
    QTest::newRow("three digits") << "A=123" << -1;
    QTest::newRow("0x alone") << "A=0x" << -1;
    QTest::newRow("no value") << "A=" << -1;
    QTest::newRow("not hex") << "A=G1" << -1;
    QTest::newRow("no port D") << "D=01" << -1;
    QTest::newRow("two equals") << "A=1=2" << -1;
}

void TestEmulator::commandLineInput()
{
    QFETCH(QString, input);
    QFETCH(int, portA);

    QProcess emulator;
    emulator.start(QStringLiteral(ZARVEX_EMULATOR_PATH), {"--input", input});
    if (portA < 0) {
        QVERIFY(emulator.waitForFinished(5000));
        QCOMPARE(emulator.exitCode(), 2);
        QVERIFY(emulator.readAllStandardOutput().isEmpty());
        return;
    }
    QTRY_VERIFY(emulator.canReadLine());
    PtyClient client(QString::fromLocal8Bit(emulator.readLine()).trimmed());
    QVERIFY(client.write("abc"));
    QCOMPARE(client.read(3, 2000), bytes({quint8(portA), 0, 0}));
    emulator.terminate();
    QVERIFY(emulator.waitForFinished(5000));
    QCOMPARE(emulator.exitCode(), 0);
}

// `zarvex-board-emulator --link PATH | head -1`: the reader goes after the first line. The
// board goes on serving, and a signal still ends it cleanly and takes the link with it.
void TestEmulator::closedOutputKeepsServingAndRemovesLink()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("com5");
    EmulatorProcess emulator({"--link", link, "--verbose"});
    QVERIFY(emulator.pid() > 0);
    const QString device = emulator.readLine();
    QCOMPARE(QFileInfo(link).symLinkTarget(), device);
    emulator.closeOutput();

    PtyClient client(link);
    QVERIFY(client.isOpen());
    for (int i = 0; i < 20; ++i) { // each logs a line, into a pipe with no reader
        QVERIFY(client.write(raw("!A\0A") + char(i) + "abc"));
        QCOMPARE(client.read(3, 2000), bytes({quint8(i), 0, 0}));
    }
    const int status = emulator.terminate();
    QVERIFY2(WIFEXITED(status), qPrintable(QString::number(status, 16)));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

// Nobody reads the log while a client floods the board with commands: the board keeps up,
// the emulator's memory stays bounded, and the lines it could not keep are counted.
void TestEmulator::unreadLogDropsLinesWithCount()
{
    constexpr int commands = 200000;
    EmulatorProcess emulator({});
    QVERIFY(emulator.pid() > 0);
    PtyClient client(emulator.readLine());
    QVERIFY(client.isOpen());
    const qint64 startKiB = emulator.peakResidentKiB();

    QByteArray flood;
    for (int i = 0; i < commands; ++i)
        flood += QByteArray("A") + char(i % 2 ? 1 : 2);
    QVERIFY(writeAll(client.fd(), flood + "abc"));
    QCOMPARE(client.read(3, 30000).size(), 3);
#if !defined(__SANITIZE_ADDRESS__)
    // Kept, the lines would take tens of megabytes; the queue takes at most one.
    const qint64 grownKiB = emulator.peakResidentKiB() - startKiB;
    QVERIFY2(grownKiB < 16 * 1024, qPrintable(QString::number(grownKiB)));
#else
    Q_UNUSED(startKiB);
#endif

    qint64 printed = 0;
    qint64 dropped = 0;
    const QRegularExpression droppedLine("^\\((\\d+) lines dropped");
    // The count of what was dropped comes once the queue has been written out; a line sent
    // after it has room again.
    const auto readUntil = [&](const QString &last) {
        for (QString line = emulator.readLine();; line = emulator.readLine()) {
            if (line.isEmpty())
                return false;
            const QRegularExpressionMatch match = droppedLine.match(line);
            if (match.hasMatch())
                dropped += match.captured(1).toLongLong();
            else if (line.startsWith("write-port A ") || line.startsWith("read-ports -> "))
                ++printed;
            else if (line != last)
                return false;
            if (last.isEmpty() ? match.hasMatch() : line == last)
                return true;
        }
    };
    QVERIFY(readUntil(QString()));
    QVERIFY(client.write(raw("C\x42")));
    QVERIFY(readUntil("write-port C 42"));
    QVERIFY(dropped > 0);
    QCOMPARE(printed + dropped, qint64(commands + 1));
}

void TestEmulator::commandLineLog_data()
{
    // What is sent in turn; an empty entry waits for the log to flush its count of repeats
    // after the pause that ends a run of polls. Each row ends with "C\x42", to know the log
    // is complete once "write-port C 42" is in.
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QStringList>("expected");

    const QString idle = QStringLiteral("read-ports -> 00 00 00");
    const QByteArray poll = "abc";
    QTest::newRow("repeats counted until another command")
        << QStringList() << QList<QByteArray>{poll, poll, poll, poll, poll, raw("!A\xFE")}
        << QStringList{idle, "(repeated 4 more times)", "set-direction A FE"};
    QTest::newRow("one repeat") << QStringList() << QList<QByteArray>{poll, poll}
                                << QStringList{idle, "(repeated once more)"};
    QTest::newRow("a command between equal replies")
        << QStringList() << QList<QByteArray>{poll, raw("A\x01"), poll}
        << QStringList{idle, "write-port A 01", idle};
    QTest::newRow("a changed reply is printed")
        << QStringList{"--input", "A=5A"} << QList<QByteArray>{poll, poll, raw("!A\x00"), poll}
        << QStringList{"read-ports -> 5A 00 00", "(repeated once more)", "set-direction A 00",
                       idle};
    QTest::newRow("pause flushes the count and starts afresh")
        << QStringList() << QList<QByteArray>{poll, poll, poll, QByteArray(), poll}
        << QStringList{idle, "(repeated 2 more times)", idle};
    QTest::newRow("verbose prints every poll")
        << QStringList{"--verbose"} << QList<QByteArray>{poll, poll, poll}
        << QStringList{idle, idle, idle};
    QTest::newRow("timestamps, in order")
        << QStringList{"--timestamps", "--verbose"} << QList<QByteArray>{poll, raw("A\x01"), poll}
        << QStringList{idle, "write-port A 01", idle};
}

void TestEmulator::commandLineLog()
{
    QFETCH(QStringList, options);
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QStringList, expected);

    QProcess emulator;
    emulator.start(QStringLiteral(ZARVEX_EMULATOR_PATH), options);
    QVERIFY(emulator.waitForStarted());
    QTRY_VERIFY(emulator.canReadLine());
    PtyClient client(QString::fromLocal8Bit(emulator.readLine()).trimmed());
    QVERIFY(client.isOpen());

    QStringList lines;
    const bool stamped = options.contains("--timestamps");
    const QRegularExpression stamp(QStringLiteral("^(\\d+\\.\\d{6}) (.*)$"));
    double lastStamp = 0;
    QStringList unstamped;
    const auto readLines = [&] {
        while (emulator.canReadLine()) {
            QString line = QString::fromLocal8Bit(emulator.readLine()).trimmed();
            if (stamped) {
                const QRegularExpressionMatch match = stamp.match(line);
                if (!match.hasMatch() || match.captured(1).toDouble() < lastStamp)
                    unstamped << line;
                lastStamp = match.captured(1).toDouble();
                line = match.captured(2);
            }
            lines << line;
        }
        return lines;
    };
    for (const QByteArray &command : sent) {
        if (command.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(
                !readLines().isEmpty() && lines.constLast().startsWith("(repeated"), 5000);
            continue;
        }
        QVERIFY(client.write(command));
        if (command == "abc")
            QCOMPARE(client.read(3, 2000).size(), 3);
    }
    QVERIFY(client.write(raw("C\x42")));
    QTRY_VERIFY(readLines().contains("write-port C 42"));
    QCOMPARE(lines, expected + QStringList{"write-port C 42"});
    QCOMPARE(unstamped, QStringList());

    emulator.terminate();
    QVERIFY(emulator.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
