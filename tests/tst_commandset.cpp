// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// The bytes on the wire and the read-ports exchange, through the real QSerialPort link
// to the board emulator on a pseudo-terminal.
#include "device/commandset.h"
#include "device/portname.h"
#include "device/porttarget.h"
#include "device/seriallink.h"
#include "porttargets.h"
#include "session/linkwatcher.h"
#include "testboard.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <ctime>
#include <memory>

namespace {

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

} // namespace

class TstCommandSet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandBytes_data();
    void commandBytes();
    void refusedValuesWriteNothing();
    void sendsArriveInOrder();
    void readPortsReply();
    void readPortsTimeouts_data();
    void readPortsTimeouts();
    void lateReplyDoesNotShiftLaterReadings();
    void lateRepliesWaitedOut_data();
    void lateRepliesWaitedOut();
    void resetSequence();
    void fullTransmitBufferIsWaitedOut();
    void waitForRoomCanBeInterrupted();
    void withoutInterruptCheckNothingWaits();
    void extraAndStrayBytesAreDropped();
    void inBufferCountSeesBytesTheEventLoopHasNotRead();
    void waitingUsesNoCpu();
    void portGoingAwayIsReportedNotClosed();
    void portNames();
    void portTargets_data();
    void portTargets();
    void portNumberOverview();

private:
    std::unique_ptr<TestBoard> m_board;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<CommandSet> m_commands;
};

void TstCommandSet::init()
{
    m_board = std::make_unique<TestBoard>(5);
    QVERIFY(m_board->start());
    m_link = m_board->newLink();
    QVERIFY(!m_link->open());
    m_commands = std::make_unique<CommandSet>(*m_link);
}

void TstCommandSet::cleanup()
{
    m_commands.reset();
    m_link.reset();
    m_board.reset();
}

void TstCommandSet::commandBytes_data()
{
    QTest::addColumn<bool>("direction");
    QTest::addColumn<Port>("port");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("bytes");

    QTest::newRow("all of A inputs") << true << Port::A << 255.0 << "21 41 FF";
    QTest::newRow("C inputs") << true << Port::C << 255.0 << "21 43 FF";
    QTest::newRow("B written 0") << false << Port::B << 0.0 << "42 00";
    QTest::newRow("C written 0") << false << Port::C << 0.0 << "43 00";
    QTest::newRow("2.5 goes to 2") << false << Port::A << 2.5 << "41 02";
    QTest::newRow("3.5 goes to 4") << true << Port::B << 3.5 << "21 42 04";
    QTest::newRow("-0.5 goes to 0") << false << Port::A << -0.5 << "41 00";
    QTest::newRow("value looks like a command") << false << Port::A << 33.0 << "41 21";
}

void TstCommandSet::commandBytes()
{
    QFETCH(bool, direction);
    QFETCH(Port, port);
    QFETCH(double, value);
    QFETCH(QString, bytes);

    const SendOutcome sent = direction ? m_commands->sendSetDirection(port, value)
                                       : m_commands->sendWritePort(port, value);
    QCOMPARE(sent, SendOutcome::Sent);
    const QByteArray expected = QByteArray::fromHex(bytes.toLatin1());
    QCOMPARE(hexBytes(m_board->receivedExactly(expected.size())), bytes);
}

void TstCommandSet::refusedValuesWriteNothing()
{
    const double refused[] = {-1.0, -0.6, 255.5, 256.0, 1e300, -1e300, INFINITY, -INFINITY, NAN};
    for (double value : refused) {
        QVERIFY(CommandSet::setDirectionCommand(Port::A, value).empty());
        QCOMPARE(m_commands->sendSetDirection(Port::A, value), SendOutcome::Refused);
        QCOMPARE(m_commands->sendWritePort(Port::B, value), SendOutcome::Refused);
    }
    QVERIFY(!portFromLetter('D'));
    QVERIFY(!portFromLetter('a'));
    // a marker: only this arrives
    QCOMPARE(m_commands->sendWritePort(Port::C, 255.4), SendOutcome::Sent);
    QCOMPARE(hexBytes(m_board->receivedExactly(2)), QString("43 FF"));
}

void TstCommandSet::sendsArriveInOrder()
{
    for (const Port port : BoardPorts)
        m_commands->sendSetDirection(port, 255);
    for (const Port port : BoardPorts)
        m_commands->sendWritePort(port, 0);
    QCOMPARE(hexBytes(m_board->receivedExactly(15)),
             QString("21 41 FF 21 42 FF 21 43 FF 41 00 42 00 43 00"));
    QCOMPARE(int(m_board->board().direction(Port::B)), 0xFF);
}

void TstCommandSet::readPortsReply()
{
    m_board->board().setInputPattern(Port::A, 0x01);
    m_board->board().setInputPattern(Port::B, 0x80);
    m_board->board().setInputPattern(Port::C, 0xFF);

    QElapsedTimer clock;
    clock.start();
    const auto inputs = m_commands->readPorts();
    QVERIFY(clock.elapsed() < CommandSet::ReplyDeadlineMs);
    QVERIFY(inputs.answered());
    QCOMPARE(inputs.inputs, (CommandSet::PortInputs{1, 128, 255}));
    QCOMPARE(m_board->board().received(), QByteArray("abc"));

    // Output lines read back what they drive.
    m_commands->sendSetDirection(Port::B, 0x0F);
    m_commands->sendWritePort(Port::B, 0x50);
    const auto mixed = m_commands->readPorts();
    QVERIFY(mixed.answered());
    QCOMPARE(int(mixed.input(Port::B)), 0x50);
}

void TstCommandSet::readPortsTimeouts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("waiting"); // at the deadline
    QTest::newRow("no reply") << int(PtyBoard::ReplyMode::Silent) << 0;
    QTest::newRow("two bytes") << int(PtyBoard::ReplyMode::Short) << 2;
    QTest::newRow("four bytes") << int(PtyBoard::ReplyMode::Extra) << 4;
}

void TstCommandSet::readPortsTimeouts()
{
    QFETCH(int, mode);
    QFETCH(int, waiting);
    m_board->board().setReplyMode(PtyBoard::ReplyMode(mode));

    QElapsedTimer clock;
    clock.start();
    const ReadPortsOutcome timedOut = m_commands->readPorts();
    QCOMPARE(timedOut.kind, ReadPortsOutcome::Kind::Timeout);
    QCOMPARE(timedOut.waiting, qsizetype(waiting));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= CommandSet::ReplyDeadlineMs, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < CommandSet::ReplyDeadlineMs + 250, qPrintable(QString::number(elapsed)));
    QCOMPARE(m_link->state(), LinkState::Open);

    // Whatever the bad reply left behind does not spoil the next exchange.
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Normal);
    m_board->board().setInputPattern(Port::C, 0x3C);
    const auto inputs = m_commands->readPorts();
    QVERIFY(inputs.answered());
    QCOMPARE(int(inputs.input(Port::C)), 0x3C);
}

void TstCommandSet::lateReplyDoesNotShiftLaterReadings()
{
    m_board->board().setInputPattern(Port::A, 0x11);
    m_board->board().setReplyDelay(500);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!m_commands->readPorts().answered());
    QVERIFY(clock.elapsed() >= CommandSet::ReplyDeadlineMs);

    // Let the late reply land in the receive buffer, then ask again: the answer is the
    // board's state now, not the stale reply.
    QTest::qWait(200);
    m_board->board().setReplyDelay(0);
    m_board->board().setInputPattern(Port::A, 0x22);
    clock.restart();
    const auto inputs = m_commands->readPorts();
    QVERIFY(inputs.answered());
    QCOMPARE(int(inputs.input(Port::A)), 0x22);
    QVERIFY(clock.elapsed() < CommandSet::ReplyDeadlineMs);
}

void TstCommandSet::lateRepliesWaitedOut_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("answered");
    // Later than the deadline: with the setting on, no reply is ever taken for a later
    // request's, so every exchange times out.
    QTest::newRow("late by 50 ms") << CommandSet::ReplyDeadlineMs + 50 << false;
    QTest::newRow("late by most of a deadline")
        << CommandSet::ReplyDeadlineMs + CommandSet::LateReplyQuietMs - 100 << false;
    QTest::newRow("prompt enough") << CommandSet::ReplyDeadlineMs - 150 << true;
}

void TstCommandSet::lateRepliesWaitedOut()
{
    QFETCH(int, delayMs);
    QFETCH(bool, answered);
    m_commands->setWaitOutLateReplies(true);
    PtyBoard &board = m_board->board();
    board.setReplyDelay(delayMs);

    // Each request sees its own pattern, so an answer to an earlier one would show.
    for (quint8 pattern = 0x10; pattern < 0x15; ++pattern) {
        board.setInputPattern(Port::A, pattern);
        const ReadPortsOutcome reading = m_commands->readPorts();
        QCOMPARE(reading.answered(), answered);
        if (answered)
            QCOMPARE(reading.input(Port::A), pattern);
        else
            QCOMPARE(reading.waiting, qsizetype(0));
    }

    // Once the board answers in time again, its first answer is taken, and it is its own.
    board.setReplyDelay(0);
    board.setInputPattern(Port::A, 0x5A);
    const ReadPortsOutcome reading = m_commands->readPorts();
    QVERIFY(reading.answered());
    QCOMPARE(reading.input(Port::A), quint8(0x5A));
    QCOMPARE(board.readRequests(), 6);
}

void TstCommandSet::resetSequence()
{
    for (const PortCommand &command : CommandSet::ResetSequence)
        QCOMPARE(m_commands->send(command), SendOutcome::Sent);
    QCOMPARE(hexBytes(m_board->receivedExactly(15)),
             QString("21 41 FF 21 42 FF 21 43 FF 41 00 42 00 43 00"));
}

void TstCommandSet::fullTransmitBufferIsWaitedOut()
{
    // A board that takes no bytes: the emulator as a process of its own, stopped.
    EmulatorProcess emulator;
    QVERIFY(emulator.start(ZARVEX_BOARD_EMULATOR, m_board->devDir() + "/com8", {}));
    const std::unique_ptr<SerialLink> opened =
        makeLink(PortTarget::fromNumber(8), m_board->options());
    SerialLink &link = *opened;
    QVERIFY(!link.open());
    CommandSet commands(link);
    emulator.signal(SIGSTOP);

    // Far more than the system holds; the first wait for room lets the board go on. Commands
    // of three bytes, so that the system also takes one only in part.
    constexpr int Count = 20000;
    bool waited = false;
    link.setInterruptCheck([&] {
        if (!std::exchange(waited, true))
            emulator.signal(SIGCONT);
        emulator.collect();
        return false;
    });
    QStringList expected;
    for (int i = 0; i < Count; ++i) {
        // The emulator drops log lines nobody reads: once it runs, keep up with it.
        if (waited && i % 256 == 0)
            QVERIFY(emulator.waitForLogged("set-direction", i - 2000));
        const Port port = BoardPorts[size_t(i % 3)];
        const int value = (i / 3) % 256;
        if (commands.sendSetDirection(port, value) != SendOutcome::Sent)
            QFAIL(qPrintable(QStringLiteral("command %1 was not sent").arg(i)));
        expected << QStringLiteral("set-direction %1 %2")
                        .arg(QLatin1Char(portLetter(port)))
                        .arg(hexBytes(QByteArray(1, char(value))));
    }
    QVERIFY(waited);
    QVERIFY(emulator.waitForLogged("set-direction", Count));
    QCOMPARE(emulator.log(), expected);
}

void TstCommandSet::waitForRoomCanBeInterrupted()
{
    // A pty whose other side nobody reads: what the system took can be read back from there.
    TestPty pty;
    QVERIFY(pty.isValid());
    const std::unique_ptr<SerialLink> opened = linkTo(pty.slavePath());
    SerialLink &link = *opened;
    QVERIFY(!link.open());
    CommandSet commands(link);
    int asked = 0;
    link.setInterruptCheck([&] { return ++asked > 0; });

    std::string sent;
    SendOutcome outcome = SendOutcome::Sent;
    for (int i = 0; outcome == SendOutcome::Sent && i < 1000000; ++i) {
        outcome = commands.sendWritePort(Port::B, i % 256);
        if (outcome == SendOutcome::Sent)
            sent += CommandSet::writePortCommand(Port::B, i % 256);
    }
    QCOMPARE(outcome, SendOutcome::Interrupted);
    QCOMPARE(asked, 1);
    QCOMPARE(link.state(), LinkState::Open);
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::Interrupted);
    QCOMPARE(commands.send(CommandSet::ResetSequence[0]), SendOutcome::Interrupted);
    QCOMPARE(asked, 3);
    // Exactly what was reported sent went, in order.
    QCOMPARE(pty.written(), QByteArray::fromStdString(sent));

    // With room again and no one to ask, the link goes on as before.
    link.setInterruptCheck({});
    QCOMPARE(commands.sendWritePort(Port::C, 0x5A), SendOutcome::Sent);
    QCOMPARE(pty.written(), QByteArray("C\x5A"));
}

// The window never waits for a board that takes nothing: what the system cannot take yet goes
// from the event loop, every byte once and in order, and the port is not reported lost.
void TstCommandSet::withoutInterruptCheckNothingWaits()
{
    TestPty pty;
    QVERIFY(pty.isValid());
    const std::unique_ptr<SerialLink> opened = linkTo(pty.slavePath());
    SerialLink &link = *opened;
    QVERIFY(!link.open());
    CommandSet commands(link);
    LinkWatcher watcher(link);
    bool lost = false;
    connect(&watcher, &LinkWatcher::lost, this, [&] { lost = true; });

    std::string sent;
    for (int i = 0; i < 40000; ++i) {
        QCOMPARE(commands.sendWritePort(Port::B, i % 256), SendOutcome::Sent);
        sent += CommandSet::writePortCommand(Port::B, i % 256);
    }
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::Timeout);
    sent += CommandSet::ReadPortsCommand;
    watcher.update();

    QByteArray arrived;
    QTRY_VERIFY_WITH_TIMEOUT((arrived += pty.written()).size() >= qsizetype(sent.size()), 20000);
    QCOMPARE(arrived, QByteArray::fromStdString(sent));
    QCOMPARE(link.state(), LinkState::Open);
    QVERIFY(!lost);
}

void TstCommandSet::extraAndStrayBytesAreDropped()
{
    m_board->board().setInputPattern(Port::B, 0x42);
    for (const QByteArray &noise :
         {QByteArray("\x01\x02\x03", 3), QByteArray("\x7f"), QByteArray(5000, '\x55')}) {
        m_board->board().inject(noise);
        QTest::qWait(50);
        const auto inputs = m_commands->readPorts();
        QVERIFY(inputs.answered());
        QCOMPARE(inputs.inputs, (CommandSet::PortInputs{0, 0x42, 0}));
    }
}

void TstCommandSet::inBufferCountSeesBytesTheEventLoopHasNotRead()
{
    m_board->board().inject("12345");
    QTest::qSleep(100); // no event processing: nothing has looked at the port
    QCOMPARE(m_link->inBufferCount(), std::size_t(5));
    QCOMPARE(m_link->input(), std::string("12345"));
    QCOMPARE(m_link->inBufferCount(), std::size_t(0));

    // The receive buffer holds 1024 bytes; the rest waits in the system.
    m_board->board().inject(QByteArray(3000, 'x'));
    QTest::qSleep(100);
    QCOMPARE(m_link->inBufferCount(), std::size_t(1024));
}

void TstCommandSet::waitingUsesNoCpu()
{
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Silent);
    const double before = processCpuMs();
    QVERIFY(!m_commands->readPorts().answered());
    const double used = processCpuMs() - before;
    // A spinning wait would burn the whole 400 ms.
    QVERIFY2(used < 100, qPrintable(QString::number(used)));

    // Likewise when more than three bytes wait and the count can never become three.
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Normal);
    m_board->board().inject(QByteArray(2000, 'z'));
    QTest::qSleep(50);
    m_link->inBufferCount(); // fills the 1024-byte buffer
    const double before2 = processCpuMs();
    m_link->waitForInput(300);
    QVERIFY(processCpuMs() - before2 < 100);
}

void TstCommandSet::portGoingAwayIsReportedNotClosed()
{
    LinkWatcher watcher(*m_link);
    QSignalSpy lost(&watcher, &LinkWatcher::lost);
    m_board->board().hangUp();

    QElapsedTimer clock;
    clock.start();
    QCOMPARE(m_commands->readPorts().kind, ReadPortsOutcome::Kind::PortLost);
    QVERIFY(clock.elapsed() < CommandSet::ReplyDeadlineMs + 250);
    // The link says so and leaves the closing to its owner.
    QCOMPARE(m_link->state(), LinkState::Lost);
    QCOMPARE(m_commands->sendWritePort(Port::A, 1), SendOutcome::PortLost);
    QCOMPARE(m_link->inBufferCount(), std::size_t(0));
    QTRY_COMPARE(lost.count(), 1);
    m_link->close();
    QCOMPARE(m_commands->sendWritePort(Port::A, 1), SendOutcome::NotOpen);
    QCOMPARE(m_commands->readPorts().kind, ReadPortsOutcome::Kind::PortLost);

    // Noticed from the event loop alone, too: a fresh board, then pull it while idle.
    TestBoard second(6);
    QVERIFY(second.start());
    const std::unique_ptr<SerialLink> idle = second.newLink();
    QVERIFY(!idle->open());
    LinkWatcher idleWatcher(*idle);
    idleWatcher.update();
    QSignalSpy idleLost(&idleWatcher, &LinkWatcher::lost);
    second.board().hangUp();
    QTRY_COMPARE(idleLost.count(), 1);
    QCOMPARE(idle->state(), LinkState::Lost);

    // A loss its owner dealt with before the event loop came round is not reported again.
    TestBoard third(7);
    QVERIFY(third.start());
    const std::unique_ptr<SerialLink> handled = third.newLink();
    QVERIFY(!handled->open());
    LinkWatcher handledWatcher(*handled);
    handledWatcher.update();
    QSignalSpy handledLost(&handledWatcher, &LinkWatcher::lost);
    third.board().hangUp();
    CommandSet commands(*handled);
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::PortLost);
    handled->close();
    handledWatcher.update();
    QTest::qWait(50);
    QCOMPARE(handledLost.count(), 0);
}

void TstCommandSet::portNames()
{
    QTemporaryDir dir;
    QVERIFY(QFile::link("/dev/null", dir.filePath("com3")));
    QVERIFY(QFile::link(dir.filePath("nothing-here"), dir.filePath("com4")));
    const std::string devDir = dir.path().toStdString();
    const auto named = [&](int number, const std::string &in) {
        return QString::fromStdString(systemPortName(number, in));
    };
    QCOMPARE(named(3, devDir), dir.filePath("com3"));
    // A link whose device is unplugged still names that device.
    QCOMPARE(named(4, devDir), dir.filePath("com4"));
    QCOMPARE(named(1, devDir), dir.filePath("ttyS0"));
    QCOMPARE(named(12, devDir), dir.filePath("ttyS11"));
    QCOMPARE(named(0, devDir), QString());
    QCOMPARE(named(-2, devDir), QString());
    QCOMPARE(named(7, "/dev"),
             QFile::exists("/dev/com7") ? QString("/dev/com7") : QString("/dev/ttyS6"));

    // A name that is no serial device does not open.
    LinkOptions options;
    options.portNamer = [&](int n) { return systemPortName(n, devDir); };
    for (int n : {3, 4, 9}) {
        const std::unique_ptr<SerialLink> link = makeLink(PortTarget::fromNumber(n), options);
        QVERIFY(link->open().has_value());
        QCOMPARE(link->state(), LinkState::Closed);
    }
}

void TstCommandSet::portTargets_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("described"); // empty: refused
    QTest::addColumn<int>("number");        // 0: not a port number
    // Numbers come from fromNumber() alone: a text naming a number is a path.
    QTest::newRow("number is a path") << "3"
                                      << "3" << 0;
    QTest::newRow("zero is a path") << "0"
                                    << "0" << 0;
#ifdef Q_OS_WIN
    QTest::newRow("COM upper case") << "COM7"
                                    << "port 7" << 7;
    QTest::newRow("com lower case") << "com12"
                                    << "port 12" << 12;
    QTest::newRow("device namespace") << "\\\\.\\COM32767"
                                      << "port 32767" << 32767;
    QTest::newRow("COM beyond 16 bits") << "COM32768"
                                        << "" << 0;
    QTest::newRow("far beyond") << "COM99999999999"
                                << "" << 0;
    QTest::newRow("leading zero") << "COM03"
                                  << "" << 0;
#else
    QTest::newRow("COM is a path") << "COM7"
                                   << "COM7" << 0;
#endif
    QTest::newRow("device path") << "/dev/ttyUSB0"
                                 << "/dev/ttyUSB0" << 0;
    QTest::newRow("bare device name") << "ttyACM1"
                                      << "ttyACM1" << 0;
    QTest::newRow("COM without digits") << "COMx"
                                        << "COMx" << 0;
    QTest::newRow("raw server") << "socket://lab7:4003"
                                << "socket://lab7:4003" << 0;
    QTest::newRow("telnet server") << "rfc2217://[::1]:4003"
                                   << "rfc2217://[::1]:4003" << 0;
    QTest::newRow("foreign URL") << "ftp://lab7:4003"
                                 << "" << 0;
}

void TstCommandSet::portTargets()
{
    QFETCH(QString, text);
    QFETCH(QString, described);
    QFETCH(int, number);
    std::string error;
    const std::optional<PortTarget> target = PortTarget::parse(text.toStdString(), &error);
    if (described.isEmpty()) {
        QVERIFY(!target);
        QVERIFY(!error.empty());
        return;
    }
    QVERIFY2(target, error.c_str());
    QCOMPARE(QString::fromStdString(target->described()), described);
    QCOMPARE(target->kind == PortTarget::Kind::Number, number > 0);
    if (number > 0)
        QCOMPARE(target->number, number);
}

void TstCommandSet::portNumberOverview()
{
    QTemporaryDir dir;
    const auto path = [&](const char *name) { return dir.filePath(QString::fromLatin1(name)); };
    for (const char *device : {"ttyACM0", "ttyS0", "ttyS2", "ttyUSB0"}) {
        QFile file(path(device));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(path("ttyACM0"), path("com3")));
    QVERIFY(QFile::link(path("gone"), path("com12")));
    // Names no port-number text can reach.
    for (const char *name : {"com0", "comfoo", "com40000", "com03"})
        QVERIFY(QFile::link("/dev/null", path(name)));

    // The stand-ins are regular files, and marked as such.
    const std::string devDir = dir.path().toStdString();
    QCOMPARE(QString::fromStdString(::portNumberOverview({}, devDir)),
             QString("Port numbers that name a device right now:\n"
                     "3: %1 -> %2 (not a serial device)\n"
                     "12: %3 -> %4 (not present)")
                 .arg(path("com3"), path("ttyACM0"), path("com12"), path("gone")));

    const auto at = [&](const char *name) { return path(name).toStdString(); };
    const std::vector<SerialDeviceInfo> devices = {
        {"ttyACM0", at("ttyACM0"), "USB Serial", "Maker", "A1", 0x2341, 0x43},
        {"ttyS0", at("ttyS0"), {}, {}, {}, {}, {}},
        // Number 3 is taken by com3, so this UART has none.
        {"ttyS2", at("ttyS2"), "16550A", {}, {}, {}, {}},
        {"ttyUSB0", at("ttyUSB0"), "FT232R USB UART", "FTDI", {}, 0x403, {}},
    };
    QCOMPARE(QString::fromStdString(::portNumberOverview(devices, devDir)),
             QString("Port numbers that name a device right now:\n"
                     "1: %1 (not a serial device)\n"
                     "3: %2 -> %3, USB Serial, Maker, 2341:0043, serial A1"
                     " (not a serial device)\n"
                     "12: %4 -> %5 (not present)\n"
                     "Serial devices no number reaches (give one a /dev/comN link):\n"
                     "%6, 16550A (not a serial device)\n"
                     "%7, FT232R USB UART, FTDI (not a serial device)")
                 .arg(path("ttyS0"), path("com3"), path("ttyACM0"), path("com12"), path("gone"),
                      path("ttyS2"), path("ttyUSB0")));

    QTemporaryDir empty;
    QCOMPARE(::portNumberOverview({}, empty.path().toStdString()),
             std::string("No port number names a device on this machine right now."));
}

QTEST_MAIN(TstCommandSet)
#include "tst_commandset.moc"
