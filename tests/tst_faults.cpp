// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Faults on the line and at the far end, and a user who will not let go, against the real
// window, a real pseudo-terminal and the board emulator. Whatever happens, nothing may
// crash or block longer than one reply deadline, every value must show the same number in
// all its views, and the board must answer correctly once the fault is gone.
#include "device/commandset.h"
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "porttargets.h"
#include "session/session.h"
#include "window/iotestwindow.h"
#include "windowchecks.h"
#include "windowtest.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

#include <array>
#include <chrono>
#include <csignal>
#include <thread>
#include <utility>

namespace {

// One exchange may use the whole reply deadline; the rest is room for a loaded machine.
constexpr int ExchangeBoundMs = CommandSet::ReplyDeadlineMs + 350;

const QByteArray resetCommands = QByteArray::fromHex("2141FF2142FF2143FF410042004300");
const QByteArray readPorts = "abc";
const QStringList resetLog = {"set-direction A FF", "set-direction B FF", "set-direction C FF",
                              "write-port A 00",    "write-port B 00",    "write-port C 00"};

QByteArray command(bool direction, char letter, int value)
{
    QByteArray bytes = direction ? QByteArray("!") : QByteArray();
    return bytes + letter + char(value);
}

// Message of a failed time check.
QByteArray millis(qint64 ms)
{
    return QByteArray::number(ms) + " ms";
}

QByteArray randomBytes(QRandomGenerator &random, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(random.bounded(256));
    return bytes;
}

} // namespace

class TstFaults : public WindowTest
{
    Q_OBJECT

public:
    enum Outcome { Timeout, Correct, Either };
    enum Loss { HangUp, Terminate, Kill };
    Q_ENUM(Outcome)
    Q_ENUM(Loss)

private slots:
    void init() { QVERIFY(openWindow()); }
    void cleanup() { closeWindow(); }

    void badReplies_data();
    void badReplies();
    void floodWhilePolling();
    void boardGoesAway_data();
    void boardGoesAway();
    void hammering_data();
    void hammering();

private:
    void setInputs(quint8 a, quint8 b, quint8 c);
    QStringList readBoxes() const;
    qint64 pollOnce();
    bool polling() const { return m_window->control<QCheckBox>("Check1")->isChecked(); }
};

void TstFaults::setInputs(quint8 a, quint8 b, quint8 c)
{
    m_board->board().setInputPattern(Port::A, a);
    m_board->board().setInputPattern(Port::B, b);
    m_board->board().setInputPattern(Port::C, c);
}

QStringList TstFaults::readBoxes() const
{
    QStringList texts;
    for (const PortControls &port : m_window->ports())
        texts << port.readHex->text() << port.readDec->text();
    return texts;
}

qint64 TstFaults::pollOnce()
{
    QElapsedTimer clock;
    clock.start();
    click("PollNow");
    return clock.elapsed();
}

void TstFaults::badReplies_data()
{
    using Mode = PtyBoard::ReplyMode;
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QByteArray>("unasked"); // arrives before each request
    QTest::addColumn<Outcome>("first");
    QTest::addColumn<Outcome>("later");

    QTest::newRow("late, within the deadline")
        << Mode::Normal << 250 << QByteArray() << Correct << Correct;
    // Its reply may turn up during the next exchange, which then takes it.
    QTest::newRow("late, past the deadline")
        << Mode::Normal << 550 << QByteArray() << Timeout << Either;
    QTest::newRow("short") << Mode::Short << 0 << QByteArray() << Timeout << Timeout;
    QTest::newRow("over-long") << Mode::Extra << 0 << QByteArray() << Timeout << Timeout;
    QTest::newRow("duplicated") << Mode::Double << 0 << QByteArray() << Timeout << Timeout;
    QTest::newRow("none") << Mode::Silent << 0 << QByteArray() << Timeout << Timeout;
    QTest::newRow("three bytes unasked")
        << Mode::Normal << 0 << QByteArray("\x01\x02\x03") << Correct << Correct;
    QTest::newRow("one byte unasked")
        << Mode::Normal << 0 << QByteArray(1, '\0') << Correct << Correct;
    // Line ends, flow control, "abc" and a plausible reply among them.
    const QByteArray noise = QByteArray::fromHex("0D0A1113FF006162633C5AC3");
    QTest::newRow("a burst of noise unasked")
        << Mode::Normal << 0 << noise.repeated(40) << Correct << Correct;
}

void TstFaults::badReplies()
{
    QFETCH(PtyBoard::ReplyMode, mode);
    QFETCH(int, delayMs);
    QFETCH(QByteArray, unasked);
    QFETCH(Outcome, first);
    QFETCH(Outcome, later);
    QtPtyBoard &board = m_board->board();
    QVERIFY(connectBoard());
    setInputs(0x3C, 0x5A, 0xC3);
    const QStringList good = {"3C", " 60", "5A", " 90", "C3", " 195"};
    pollOnce();
    QCOMPARE(readBoxes(), good);

    board.setReplyMode(mode);
    board.setReplyDelay(delayMs);
    for (int round = 0; round < 3; ++round) {
        if (!unasked.isEmpty()) {
            board.inject(unasked);
            QVERIFY(board.waitUntilSent(2000));
            QTest::qWait(50);
        }
        setStatus("Connected");
        const qint64 ms = pollOnce();
        QVERIFY2(ms <= ExchangeBoundMs, millis(ms));
        const Outcome expected = round == 0 ? first : later;
        if (expected != Either)
            QCOMPARE(status(), QString(expected == Timeout ? "Read Timeout" : "Connected"));
        if (status() == "Read Timeout")
            QVERIFY2(ms >= CommandSet::ReplyDeadlineMs, millis(ms));
        // A timeout leaves the boxes alone; a reading can only be the board's.
        QCOMPARE(readBoxes(), good);
        QCOMPARE(viewMismatch(*m_window), QString());
    }

    // The same fault under Continuous Poll: every tick ends within the deadline.
    const int requests = board.readRequests();
    LoopWatch watch;
    click("Check1");
    QTRY_VERIFY_WITH_TIMEOUT(board.readRequests() >= requests + 4, 10000);
    click("Check1");
    QVERIFY2(watch.longestGapMs() <= ExchangeBoundMs, millis(watch.longestGapMs()));
    QCOMPARE(readBoxes(), good);
    QCOMPARE(viewMismatch(*m_window), QString());

    // Fault gone, and whatever it left on its way: the next exchange is prompt and right.
    board.setReplyMode(PtyBoard::ReplyMode::Normal);
    board.setReplyDelay(0);
    QVERIFY(board.waitUntilSent(2000));
    QTest::qWait(50);
    board.clearReceived();
    setInputs(0xA5, 0x0F, 0xF0);
    const qint64 ms = pollOnce();
    QCOMPARE(readBoxes(), (QStringList{"A5", " 165", "F", " 15", "F0", " 240"}));
    QVERIFY2(ms < CommandSet::ReplyDeadlineMs, millis(ms));
    QCOMPARE(m_board->receivedExactly(3), readPorts);
}

void TstFaults::floodWhilePolling()
{
    QtPtyBoard &board = m_board->board();
    QVERIFY(connectBoard());
    setInputs(0x11, 0x22, 0x33);
    click("Check1");
    QTRY_COMPARE(readBoxes(), (QStringList{"11", " 17", "22", " 34", "33", " 51"}));

    QRandomGenerator random(7);
    board.inject(randomBytes(random, 2 * 1024 * 1024));
    LoopWatch watch;
    QElapsedTimer clock;
    clock.start();
    while (!board.waitUntilSent(0)) {
        QVERIFY2(clock.elapsed() < 120000, "the flood is not being read");
        QTest::qWait(200);
        QVERIFY2(watch.longestGapMs() <= ExchangeBoundMs, millis(watch.longestGapMs()));
        QCOMPARE(viewMismatch(*m_window), QString());
    }
    QCOMPARE(status(), QString("Read Timeout"));

    // What the pty still holds goes with the next exchanges; then the polls read true.
    setInputs(0x44, 0x55, 0x66);
    QTRY_COMPARE_WITH_TIMEOUT(readBoxes(), (QStringList{"44", " 68", "55", " 85", "66", " 102"}),
                              10000);
    click("Check1");
    QVERIFY2(watch.longestGapMs() <= ExchangeBoundMs, millis(watch.longestGapMs()));
    board.clearReceived();
    setInputs(0x77, 0x88, 0x99);
    const qint64 ms = pollOnce();
    QVERIFY2(ms < CommandSet::ReplyDeadlineMs, millis(ms));
    QCOMPARE(readBoxes(), (QStringList{"77", " 119", "88", " 136", "99", " 153"}));
    QCOMPARE(m_board->receivedExactly(3), readPorts);
}

void TstFaults::boardGoesAway_data()
{
    QTest::addColumn<Loss>("loss");
    QTest::addColumn<bool>("editing"); // during an edit's commands, or during a poll's wait
    for (Loss loss : {HangUp, Terminate, Kill}) {
        const char *name = loss == HangUp ? "pty hung up"
                           : loss == Kill ? "emulator killed"
                                          : "emulator closed";
        QTest::addRow("%s while polling", name) << loss << false;
        QTest::addRow("%s during an edit", name) << loss << true;
    }
}

void TstFaults::boardGoesAway()
{
    QFETCH(Loss, loss);
    QFETCH(bool, editing);
    QtPtyBoard &board = m_board->board();
    const QString com3 = m_board->devDir() + "/com3";
    const QStringList inputs = {"--input", "A=3C", "--input", "B=5A", "--input", "C=C3"};
    setInputs(0x3C, 0x5A, 0xC3);
    EmulatorProcess emulator;
    if (loss != HangUp) {
        board.stop();
        QVERIFY(emulator.start(ZARVEX_BOARD_EMULATOR, com3,
                               inputs + QStringList{"--reply", editing ? "normal" : "silent"}));
    } else if (!editing) {
        board.setReplyMode(PtyBoard::ReplyMode::Silent);
    }
    // Pulls the plug and returns once the pty is gone.
    const auto pull = [&] {
        if (loss == HangUp) {
            m_board->unplug();
        } else {
            emulator.signal(loss == Kill ? SIGKILL : SIGTERM);
            emulator.waitForExit();
        }
    };

    click("Connect");
    QCOMPARE(status(), QString("Connected"));
    if (loss == HangUp)
        QCOMPARE(m_board->receivedExactly(resetCommands.size()), resetCommands);
    else
        QVERIFY(emulator.waitForLogged("write-port C", 1));

    LoopWatch watch;
    if (editing) {
        // Gone between the second and the third of the click's three commands.
        bool pulled = false;
        QObject scope;
        connect(box("PortBIOHex"), &TextBox::change, &scope, [&] {
            if (std::exchange(pulled, true))
                return;
            if (loss == HangUp)
                QVERIFY(board.waitForReceived(resetCommands.size() + 6, 2000));
            else
                QVERIFY(emulator.waitForLogged("set-direction B F7", 2));
            pull();
        });
        click("PortBIOBit", 3);
        QVERIFY(pulled);
        watch.restart(); // the click itself waited for the plug to be pulled
        QCOMPARE(box("PortBIOHex")->text(), QString("F7"));
        QCOMPARE(box("PortBIODec")->text(), QString(" 247"));
        QVERIFY(!button("PortBIO", 3)->isEnabled());
        if (loss == HangUp)
            QCOMPARE(board.received().mid(resetCommands.size()),
                     command(true, 'B', 0xF7).repeated(2));
        else
            QCOMPARE(emulator.logged("set-direction B F7"), 2);
    } else {
        // A board that never answers keeps the window inside an exchange nearly all the time.
        click("Check1");
        if (loss == HangUp)
            QTRY_VERIFY(board.readRequests() >= 2);
        else
            QTRY_VERIFY(emulator.logged("read-ports") >= 2);
        const int signal = loss == Kill ? SIGKILL : SIGTERM;
        const pid_t pid = pid_t(emulator.pid());
        std::thread puller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            if (loss == HangUp)
                m_board->unplug();
            else
                ::kill(pid, signal);
        });
        QTest::qWait(200); // returns once the exchange the plug was pulled in has ended
        puller.join();
        QVERIFY2(watch.longestGapMs() <= ExchangeBoundMs, millis(watch.longestGapMs()));
        if (loss != HangUp)
            QVERIFY(emulator.waitForExit());
        watch.restart();
        QTRY_COMPARE(m_window->session().portIsOpen(), qint16(0));
    }
    if (loss == Kill)
        QFile::remove(com3); // what udev does; the emulator had no chance to
    // The port was closed under the user: the status line must not claim a connection.
    QTRY_COMPARE(status(), QString("Please Click Connect First"));
    QCOMPARE(m_window->session().portIsOpen(), qint16(0));
    QVERIFY2(watch.longestGapMs() <= ExchangeBoundMs, millis(watch.longestGapMs()));
    QCOMPARE(viewMismatch(*m_window), QString());

    // Nothing to connect to while the board is away.
    click("Connect");
    QCOMPARE(status(), QString("Could Not Open That Port"));

    // The board is back: Connect resets it and reading works again.
    EmulatorProcess again;
    if (loss == HangUp) {
        board.setReplyMode(PtyBoard::ReplyMode::Normal);
        QVERIFY(m_board->start());
    } else {
        QVERIFY(again.start(ZARVEX_BOARD_EMULATOR, com3, inputs));
    }
    click("Connect");
    QCOMPARE(status(), QString("Connected"));
    const QByteArray reset = resetCommands + (editing ? command(true, 'B', 0xFF).repeated(2) : "");
    if (loss == HangUp) {
        const QByteArray received = m_board->receivedExactly(reset.size());
        QCOMPARE(hexBytes(received.left(reset.size())), hexBytes(reset));
        QCOMPARE(received.mid(reset.size()),
                 readPorts.repeated((received.size() - reset.size()) / 3));
    } else {
        QVERIFY(again.waitForLogged("", resetLog.size() + (editing ? 2 : 0)));
        QStringList expected = resetLog;
        if (editing)
            expected << "set-direction B FF"
                     << "set-direction B FF";
        QCOMPARE(again.log().mid(0, expected.size()), expected);
    }
    if (polling())
        click("Check1");
    setStatus("Connected");
    const qint64 ms = pollOnce();
    QVERIFY2(ms < CommandSet::ReplyDeadlineMs, millis(ms));
    QCOMPARE(readBoxes(), (QStringList{"3C", " 60", "5A", " 90", "C3", " 195"}));
    QCOMPARE(status(), QString("Connected"));
    QCOMPARE(box("PortBIOHex")->text(), QString("FF"));
    QCOMPARE(viewMismatch(*m_window), QString());
}

void TstFaults::hammering_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("noise");
    QTest::addColumn<quint32>("seed");
    QTest::newRow("prompt board") << 0 << false << 1u;
    QTest::newRow("slow board, noise on the line") << 60 << true << 2u;
}

void TstFaults::hammering()
{
    QFETCH(int, delayMs);
    QFETCH(bool, noise);
    QFETCH(quint32, seed);
    QtPtyBoard &board = m_board->board();
    QVERIFY(connectBoard());
    constexpr std::array<quint8, 3> inputs = {0x96, 0x69, 0x3C};
    setInputs(inputs[0], inputs[1], inputs[2]);
    board.setReplyDelay(delayMs);
    QRandomGenerator random(seed);

    // What each value shows after the user's actions: direction A, B, C, then write A, B, C.
    struct Shown
    {
        int value;
        QString dec;
        QString hex;
    };
    const Shown in = {255, "255", "FF"}; // a fresh window's design texts
    const Shown out = {0, "0", "0"};
    std::array<Shown, 6> shown = {in, in, in, out, out, out};

    // Every command an action sends is the value's, once per handler run of its chain.
    QList<QByteArray> expected;
    click("Check1");
    for (int n = 0; n < 500; ++n) {
        const int p = random.bounded(3);
        const char letter = char('A' + p);
        const bool direction = random.bounded(2);
        Shown &v = shown[p + (direction ? 0 : 3)];
        const QString role = QString("Port") + letter + (direction ? "IO" : "W");
        int value = v.value;
        int runs = 0;
        if (random.bounded(3) == 0) {
            const int line = random.bounded(8);
            QTest::mouseClick(button(QString("Port") + letter + (direction ? "IOBit" : "IO"), line),
                              Qt::LeftButton);
            // A write bit beside an output line is disabled and takes no click.
            if (direction || (shown[p].value >> line & 1)) {
                value ^= 1 << line;
                runs = 3;
            }
        } else {
            const bool hex = random.bounded(2);
            TextBox *box = this->box(role + (hex ? "Hex" : "Dec"));
            const QString digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
            const QChar typed = digits[random.bounded(int(digits.size()))];
            const QString before = hex ? v.hex : v.dec;
            // Select all, End or Home; then type a character or erase one.
            const int how = random.bounded(5);
            const bool erase = how >= 3;
            box->setFocus();
            QTest::keyClick(box, std::array{Qt::Key_A, Qt::Key_End, Qt::Key_Home}[how % 3],
                            how % 3 == 0 ? Qt::ControlModifier : Qt::NoModifier);
            if (erase)
                QTest::keyClick(box, Qt::Key_Backspace);
            else
                QTest::keyClick(box, typed.toLatin1());
            const std::array<QString, 5> texts = {typed, before + typed, typed + before, "",
                                                  before.chopped(qMin(1, int(before.size())))};
            const QString after = texts[how];
            // The box reports every keystroke that edits, even to the same text.
            const bool edited = !erase || !before.isEmpty();
            if (edited) {
                value = hex ? HexBoxValue(after) : RoundHalfEven(DecimalBoxValue(after));
                // The edited handler, one run for each box that needs rewriting.
                runs = 1 + (hex ? after != HexText(value) : v.hex != HexText(value)) +
                       (hex ? v.dec != DecimalText(value) : after != DecimalText(value));
            }
        }
        if (runs > 0) {
            v = {value, DecimalText(value), HexText(value)};
            expected << command(direction, letter, value).repeated(runs);
        }
        if (noise && n % 25 == 0)
            board.inject(randomBytes(random, 5));
        QCoreApplication::processEvents();
        if (n % 4 == 0)
            QTest::qWait(random.bounded(2, 20));
    }
    click("Check1");

    // Read requests may come only between two actions, never inside one.
    const QByteArray received = m_board->receivedWhenQuiet(100);
    qsizetype at = 0;
    int polls = 0;
    const auto skipPolls = [&] {
        for (; received.mid(at, 3) == readPorts; at += 3)
            ++polls;
    };
    for (int i = 0; i < expected.size(); ++i) {
        skipPolls();
        QVERIFY2(received.mid(at, expected[i].size()) == expected[i],
                 qPrintable(QString("action %1: expected %2, got %3")
                                .arg(i)
                                .arg(hexBytes(expected[i]), hexBytes(received.mid(at, 12)))));
        at += expected[i].size();
    }
    skipPolls();
    QCOMPARE(at, received.size());
    QVERIFY2(polls >= 5, qPrintable(QString::number(polls)));
    QCOMPARE(polls, board.readRequests());

    QCOMPARE(viewMismatch(*m_window), QString());
    for (int p = 0; p < 3; ++p) {
        const PortControls &port = m_window->ports()[p];
        QCOMPARE(port.directionHex->text(), shown[p].hex);
        QCOMPARE(port.writeDec->text(), shown[p + 3].dec);
        QCOMPARE(int(board.direction(port.port)), shown[p].value);
        QCOMPARE(int(board.output(port.port)), shown[p + 3].value);
    }
    board.setReplyDelay(0);
    QVERIFY(board.waitUntilSent(2000));
    QTest::qWait(50);
    pollOnce();
    for (int p = 0; p < 3; ++p) {
        const int in = shown[p].value;
        const int expectedRead = (in & inputs[p]) | (~in & shown[p + 3].value & 0xFF);
        QCOMPARE(m_window->ports()[p].readHex->text(), HexText(expectedRead));
    }
}

QTEST_MAIN(TstFaults)
#include "tst_faults.moc"
