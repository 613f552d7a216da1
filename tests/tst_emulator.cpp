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
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

QStringList describe(const QList<BoardModel::Event> &events)
{
    QStringList lines;
    for (const BoardModel::Event &event : events)
        lines << BoardModel::describe(event);
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
    void commandLineTool();
    void commandLineLog_data();
    void commandLineLog();

private:
    std::unique_ptr<PtyBoard> m_board;
};

void TestEmulator::init()
{
    m_board = std::make_unique<PtyBoard>();
    QString error;
    QVERIFY2(m_board->start(&error), qPrintable(error));
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
    QCOMPARE(describe(whole.feed(input)), expected);

    // Bytes come off the pty in arbitrary pieces; decoding must not care.
    BoardModel byByte;
    QList<BoardModel::Event> events;
    for (const char byte : input)
        events << byByte.feed(quint8(byte));
    QCOMPARE(describe(events), expected);
}

void TestEmulator::readBackFollowsDirection()
{
    BoardModel board;
    board.setInputPattern(Port::A, 0x3C);
    board.setInputPattern(Port::B, 0x5A);
    board.setInputPattern(Port::C, 0x81);
    QCOMPARE(board.readPorts(), bytes({0x3C, 0x5A, 0x81})); // power-up: all inputs

    // The output register is kept while its lines are inputs and shows once they are outputs.
    board.feed("A\xFF");
    QCOMPARE(board.readPort(Port::A), quint8(0x3C));
    board.feed("!A\x0F");
    QCOMPARE(board.readPort(Port::A), quint8(0xFC)); // low nibble pattern, high nibble output

    board.feed(raw("!B\0B\xA5"));
    const QList<BoardModel::Event> events = board.feed("abc");
    QCOMPARE(events.size(), 1);
    QCOMPARE(events[0].reply, bytes({0xFC, 0xA5, 0x81}));
    QCOMPARE(board.direction(Port::A), quint8(0x0F));
    QCOMPARE(board.output(Port::A), quint8(0xFF));

    board.reset();
    QCOMPARE(board.readPorts(), bytes({0x3C, 0x5A, 0x81}));
    QCOMPARE(board.output(Port::A), quint8(0));
}

void TestEmulator::recordsEveryByteRawAndInOrder()
{
    PtyClient client(m_board->devicePath());
    QVERIFY(client.isOpen());

    // Every octet, including CR, LF, ^C, ^D, XON/XOFF and DEL, must pass the line discipline
    // untouched and in order.
    QByteArray all;
    for (int value = 0; value < 256; ++value)
        all.append(char(value));
    QVERIFY(client.write(all));
    QVERIFY(m_board->waitForReceived(all.size(), 2000));
    QCOMPARE(m_board->received(), all);
    // Within 00..FF, 'A' takes 'B' as its value, 'C' takes 'D', and "abc" is one read.
    QCOMPARE(m_board->output(Port::A), quint8('B'));
    QCOMPARE(m_board->output(Port::C), quint8('D'));
    QCOMPARE(m_board->readRequests(), 1);
    QCOMPARE(client.read(3, 2000).size(), 3);

    m_board->clearReceived();
    QVERIFY(client.write("B\x10"));
    QVERIFY(m_board->waitForReceived(2, 2000));
    QCOMPARE(m_board->received(), QByteArray("B\x10"));
    QCOMPARE(m_board->readRequests(), 0);
}

void TestEmulator::servesAgainAfterClientCloses()
{
    m_board->setInputPattern(Port::B, '\r');
    const QByteArray reply = bytes({0, '\r', 0});

    // Neither client touches termios: the line must already be raw, so no echo back to the
    // board, no waiting for a line end, no CR/LF mapping either way.
    {
        PtyClient first(m_board->devicePath(), false);
        QVERIFY(first.write("A\rC\nabc"));
        QCOMPARE(first.read(3, 2000), reply);
    }
    PtyClient second(m_board->devicePath(), false);
    QVERIFY(second.write("abc"));
    QCOMPARE(second.read(3, 2000), reply);

    QVERIFY(m_board->waitForReceived(10, 2000));
    QCOMPARE(m_board->received(), QByteArray("A\rC\nabcabc"));
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
    m_board->setLogHandler([&](const QString &line) {
        std::lock_guard lock(mutex);
        log << line;
    });
    m_board->setInputPattern(Port::A, 0x01);
    m_board->setInputPattern(Port::B, 0x80);
    m_board->setInputPattern(Port::C, 0xFF);
    m_board->setReplyMode(mode);
    PtyClient client(m_board->devicePath());
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
    PtyClient client(m_board->devicePath());

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
    PtyClient client(m_board->devicePath());
    const QByteArray unasked = bytes({0x00, 0xFF, 0x0D, 0x0A, 0x13});
    m_board->inject(unasked);
    QCOMPARE(client.read(unasked.size(), 2000), unasked);
    QVERIFY(m_board->received().isEmpty());
}

void TestEmulator::hangUpIsSeenByHost()
{
    const QString path = m_board->devicePath();
    PtyClient client(path);
    QVERIFY(client.write("A\x01"));
    QVERIFY(m_board->waitForReceived(2, 2000));

    m_board->hangUp();
    QVERIFY(!m_board->isRunning());
    QCOMPARE(m_board->received(), QByteArray("A\x01"));

    pollfd fd{client.fd(), POLLIN, 0};
    QCOMPARE(::poll(&fd, 1, 2000), 1);
    QVERIFY(fd.revents & POLLHUP);
    char byte;
    const ssize_t got = ::read(client.fd(), &byte, 1);
    QVERIFY2(got == 0 || (got < 0 && errno == EIO), qPrintable(qt_error_string(errno)));
    QVERIFY(!client.write("abc"));
    QVERIFY(!PtyClient(path).isOpen());
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
    const auto readLines = [&] {
        while (emulator.canReadLine())
            lines << QString::fromLocal8Bit(emulator.readLine()).trimmed();
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

    emulator.terminate();
    QVERIFY(emulator.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestEmulator)
#include "tst_emulator.moc"
