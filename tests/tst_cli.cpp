// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// zarvex, the command-line program, run as a process of its own against the board emulator
// on a real pseudo-terminal: its arguments, the bytes it sends, its exit codes and its replies.
#include "boardbytes.h"
#include "cli/edges.h"
#include "clirun.h"
#include "porttargets.h"
#include "testboard.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <thread>

namespace {

const QRegularExpression timestamp(
    QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d "));

// One of the board files the suites share; good.toml names RESET_N (A.3, active low), POWER
// (A.4), both outputs not asserted, and DONE (B.0).
QString boardFile(const QString &name)
{
    return QStringLiteral(ZARVEX_BOARDFILES "/") + name;
}

} // namespace

class TstCli : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void badArguments_data();
    void badArguments();
    void badBoardFiles_data();
    void badBoardFiles();
    void bytesOfEachCommand_data();
    void bytesOfEachCommand();
    void scriptedSession();
    void exitCodes_data();
    void exitCodes();
    void busyPort();
    void lostPort();
    void watchFollowsChanges();
    void watchSaysNoAnswerOnce();
    void waitAndExpect_data();
    void waitAndExpect();
    void batchReplies_data();
    void batchReplies();
    void batchFileIsCheckedFirst();
    void batchRepliesAreNotHeldBack();
    void jsonLines_data();
    void jsonLines();
    void portFromEnvironment();
    void namedInputFromTheBoardFilesDevice();
    void signalEndsAWaitCleanly();
    void everyCommandHasHelpAndParses_data();
    void everyCommandHasHelpAndParses();
    void edgeTracker_data();
    void edgeTracker();
    void edgesOfACountingBoard_data();
    void edgesOfACountingBoard();
    void reconnects_data();
    void reconnects();

private:
    QStringList onBoard(QStringList args) const
    {
        return QStringList{QStringLiteral("-d"), m_board->board().devicePath()} + args;
    }

    std::unique_ptr<TestBoard> m_board;
};

void TstCli::init()
{
    m_board = std::make_unique<TestBoard>();
    QVERIFY(m_board->start());
    m_board->board().setInputPattern(Port::A, 0x5A);
}

void TstCli::cleanup()
{
    m_board.reset();
}

void TstCli::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const QStringList &args, const char *message) {
        QTest::newRow(name) << args << QString::fromUtf8(message);
    };
    row("fractional port number", {"-p", "3.5", "read"}, "-p: bad port number \"3.5\"");
    row("port number 0", {"-p", "0", "read"}, "1 to 32767");
    row("both -p and -d", {"-p", "3", "-d", "%pty", "read"}, "-p and -d both name a port");
    row("no command", {}, "no command given");
    row("unknown command", {"frobnicate"}, "unknown command \"frobnicate\"");
    row("batch command alone", {"sleep", "1s"}, "sleep is a batch command");
    row("option of another command", {"read", "--timeout", "2s"}, "read: unknown option --timeout");
    row("option twice", {"--json", "--json", "read"}, "--json is given twice");
    row("bad port", {"read", "D"}, "bad port or line \"D\"");
    row("bad line", {"read", "A.8"}, "bad port or line \"A.8\"");
    row("value too big", {"write", "A=256"}, "value \"256\" is out of range");
    row("hex too big", {"write", "A=0x1FF"}, "value \"0x1FF\" is out of range");
    row("leading zero", {"write", "A=090"}, "no leading zeros");
    row("negative", {"write", "A=-1"}, "bad value \"-1\"");
    row("not a binary digit", {"write", "A=0b012"}, "bad value \"0b012\"");
    row("no assignment", {"write"}, "write: nothing to write");
    row("no equals sign", {"dir", "A"}, "bad direction \"A\"");
    row("bad direction word", {"dir", "A=sideways"}, "bad value \"sideways\"");
    row("line before its port", {"dir", "A.3=out", "A=0xFF"},
        "\"A.3=out\" sets one line, but the other lines of port A's direction register");
    row("line value 2", {"write", "A=0", "A.3=2"}, "bad line value \"2\"");
    row("wait without timeout", {"wait", "A=1"}, "wait needs --timeout");
    row("duration unit", {"wait", "A=1", "--timeout", "2h"}, "bad duration \"2h\"");
    row("duration fraction", {"wait", "A=1", "--timeout", "1.5s"}, "bad duration \"1.5s\"");
    row("stable 0", {"wait", "A=1", "--timeout", "1s", "--stable", "0"}, "bad --stable \"0\"");
    row("mask never holds", {"expect", "A&0x0F=0x15"}, "can never hold");
    row("mask on a line", {"expect", "A.1&0x01=1"}, "a mask applies to a whole port");
    row("no condition", {"expect"}, "no condition given");
    row("interval 0", {"watch", "--interval", "0"}, "--interval must be at least 1ms");
    row("count not a number", {"watch", "--count", "x"}, "bad --count \"x\"");
    row("stable without edges", {"watch", "--stable", "3"}, "--stable counts the readings");
    row("stable 0 of edges", {"watch", "--edges", "--stable", "0"}, "bad --stable \"0\"");
    row("batch argument", {"batch", "script"}, "batch: unexpected argument script");
    row("missing option value", {"watch", "--interval"}, "--interval needs a value");
    row("value given twice", {"wait", "A=1", "--timeout", "1s", "--timeout=2s"},
        "--timeout is given twice");
    row("port given twice by both names", {"-p", "3", "read", "--port", "4"},
        "--port is given twice");
    row("unknown short option", {"-x", "read"}, "unknown option -x");
    row("flag with a value", {"--json=yes", "read"}, "--json");
    row("stray argument", {"reset", "now"}, "reset: unexpected argument now");
    row("stray argument of ports", {"ports", "3"}, "ports: unexpected argument 3");
    row("help on two commands", {"help", "read", "write"}, "help: unexpected argument write");
    row("help on no command", {"help", "frob"}, "help: no command \"frob\"");
    row("setup without a board file", {"setup"},
        "setup: no board file (--board FILE or ZARVEX_BOARD)");
    const QString good = boardFile("good.toml");
    QTest::newRow("a named line needs its register known")
        << QStringList{"--board", good, "write", "RESET_N=1"}
        << "write: \"RESET_N=1\" sets one line, but the other lines of port A's write register "
           "are not known (the board cannot report them): set the whole port first (A=0x.. "
           "before it on the same command line, or setup, reset or A=0x.. earlier";
    QTest::newRow("names are case-sensitive")
        << QStringList{"--board", good, "read", "done"}
        << "bad port or line \"done\": expected a port A, B, C, a line A.0 to C.7 or a name of "
           "the board file";
    QTest::newRow("pulse through a name is a batch line")
        << QStringList{"--board", good, "pulse", "RESET_N", "5ms"} << "pulse is a batch command";
}

void TstCli::badBoardFiles_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("diagnostic"); // all of it, or its beginning when it ends in ": "

    // Each bad file's first line: "# expect: LINE: problem", or "*" for the parser's own words.
    const QDir dir(ZARVEX_BOARDFILES);
    for (const QString &name : dir.entryList({"*.toml"}, QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString first = QString::fromUtf8(file.readLine()).trimmed();
        if (name == "good.toml")
            continue;
        QVERIFY2(first.startsWith("# expect: "), qPrintable(name));
        QString expected = first.mid(10);
        if (expected.endsWith(": *"))
            expected.chop(1);
        QTest::addRow("%s", qPrintable(name)) << QStringList{"--board", file.fileName(), "read"}
                                              << "zarvex: " + file.fileName() + ':' + expected;
    }
    QTest::newRow("no such file")
        << QStringList{"--board", "zarvex-none/board.toml", "setup"}
        << "zarvex: zarvex-none/board.toml: cannot read (No such file or directory)";
    QTest::newRow("a directory") << QStringList{"--board", ZARVEX_BOARDFILES, "read"}
                                 << "zarvex: " ZARVEX_BOARDFILES ": cannot read (Is a directory)";
    QTest::newRow("endless") << QStringList{"--board", "/dev/zero", "read"}
                             << "zarvex: /dev/zero: cannot read (over 1 MiB: not a board file)";
}

void TstCli::badBoardFiles()
{
    QFETCH(QStringList, args);
    QFETCH(QString, diagnostic);
    const Run run = zarvex(onBoard(args));
    QCOMPARE(run.code, 2);
    QCOMPARE(run.out, QStringList());
    if (diagnostic.endsWith(": "))
        QVERIFY2(run.err.startsWith(diagnostic) && run.err.count('\n') == 1, qPrintable(run.err));
    else
        QCOMPARE(run.err, diagnostic + '\n');
    QCOMPARE(m_board->receivedWhenQuiet(), QByteArray());
}

void TstCli::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    TestPty pty;
    QVERIFY(pty.isValid());
    // Every row but those of -p names a port that could be opened.
    if (args.contains("%pty"))
        args.replace(args.indexOf("%pty"), pty.slavePath());
    else if (!args.contains("-p"))
        args = QStringList{"-d", pty.slavePath()} + args;
    const Run run = zarvex(args);
    QCOMPARE(run.code, 2);
    QVERIFY2(run.out.isEmpty(), qPrintable(run.out.join('\n')));
    QVERIFY2(run.err.startsWith("zarvex: ") && run.err.count('\n') == 1, qPrintable(run.err));
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
    QCOMPARE(pty.written(), QByteArray());
}

void TstCli::bytesOfEachCommand_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("bytes");

    QTest::newRow("read") << QStringList{"read", "B.3"} << readPortsCommand;
    QTest::newRow("reset, then its check")
        << QStringList{"reset"} << resetCommands + " " + readPortsCommand;
    QTest::newRow("reset unchecked") << QStringList{"--no-check", "reset"} << resetCommands;
    QTest::newRow("write") << QStringList{"write", "A=0x5A"} << "41 5A " + readPortsCommand;
    QTest::newRow("dir in order, a line after its port")
        << QStringList{"dir", "A=in", "b=out", "C=0x0F", "A.3=out"}
        << "21 41 FF 21 42 00 21 43 0F 21 41 F7 " + readPortsCommand;
    QTest::newRow("write unchecked, binary, a line")
        << QStringList{"--no-check", "write", "B=0", "B.7=1", "C=0b101"} << "42 00 42 80 43 05";
    QTest::newRow("expect") << QStringList{"expect", "A=0x5A"} << readPortsCommand;
    QTest::newRow("opening and closing send nothing")
        << QStringList{"--no-check", "batch"} << QString();
    // RESET_N (A.3) is active low: not asserted is high.
    const QString good = boardFile("good.toml");
    QTest::newRow("setup: the write registers, then the directions")
        << QStringList{"--board", good, "setup"}
        << "41 08 42 00 43 00 21 41 E7 21 42 FF 21 43 FF " + readPortsCommand;
    QTest::newRow("write through names, active low inverted")
        << QStringList{"--board", good, "write", "A=0xFF", "RESET_N=1", "POWER=0"}
        << "41 FF 41 F7 41 E7 " + readPortsCommand;
    QTest::newRow("dir through a name is not inverted")
        << QStringList{"--board", good, "--no-check", "dir", "A=in", "RESET_N=out"}
        << "21 41 FF 21 41 F7";
}

void TstCli::bytesOfEachCommand()
{
    QFETCH(QStringList, args);
    QFETCH(QString, bytes);
    const Run run = zarvex(onBoard(args));
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(hexBytes(m_board->receivedWhenQuiet()), bytes);
}

void TstCli::scriptedSession()
{
    QCOMPARE(zarvex(onBoard({"reset"})).code, 0);
    QCOMPARE(zarvex(onBoard({"write", "A=0x5A"})).code, 0);
    const Run read = zarvex(onBoard({"read"}));
    QCOMPARE(read.code, 0);
    QCOMPARE(read.out, QStringList{"A=0x5A B=0x00 C=0x00"});
    QCOMPARE(
        hexBytes(m_board->receivedWhenQuiet()),
        QStringList({resetCommands, readPortsCommand, "41 5A", readPortsCommand, readPortsCommand})
            .join(' '));
}

void TstCli::exitCodes_data()
{
    QTest::addColumn<PtyBoard::ReplyMode>("mode");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    using Mode = PtyBoard::ReplyMode;
    const QString late = "the board did not answer within 0.4 s";
    QTest::newRow("silent") << Mode::Silent << 0 << QStringList{"read"} << 4
                            << late + " (no byte came)";
    QTest::newRow("short") << Mode::Short << 0 << QStringList{"read"} << 4
                           << late + " (2 bytes came)";
    QTest::newRow("late") << Mode::Normal << 600 << QStringList{"read"} << 4 << late;
    QTest::newRow("silent after write") << Mode::Silent << 0 << QStringList{"write", "A=1"} << 4
                                        << "the commands were sent, but the board did not answer";
    QTest::newRow("silent, unchecked")
        << Mode::Silent << 0 << QStringList{"--no-check", "write", "A=1"} << 0 << "";
    QTest::newRow("missing device")
        << Mode::Normal << 0 << QStringList{"-d", "/dev/zarvex-none", "read"} << 3
        << "/dev/zarvex-none does not exist";
    QTest::newRow("bare name") << Mode::Normal << 0 << QStringList{"-d", "zarvex-none", "read"} << 3
                               << "cannot open zarvex-none: /dev/zarvex-none does not exist";
    QTest::newRow("relative path")
        << Mode::Normal << 0 << QStringList{"-d", "zarvex-none/k9", "read"} << 3
        << "cannot open zarvex-none/k9: zarvex-none/k9 does not exist";
}

void TstCli::exitCodes()
{
    QFETCH(PtyBoard::ReplyMode, mode);
    QFETCH(int, delayMs);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    m_board->board().setReplyMode(mode);
    m_board->board().setReplyDelay(delayMs);
    const Run run = zarvex(args.contains("-d") ? args : onBoard(args));
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.contains(message), qPrintable(run.err));
}

void TstCli::busyPort()
{
    // Another zarvex holds the port...
    QProcess *watch = start(onBoard({"watch"}), this);
    QVERIFY(!nextLine(*watch).isEmpty());
    Run second = zarvex(onBoard({"read"}));
    QCOMPARE(second.code, 3);
    QVERIFY2(second.err.contains("busy: is Zarvex Test or another program connected?"),
             qPrintable(second.err));
    QVERIFY2(second.err.contains("(zarvex)"), qPrintable(second.err));
    const QJsonObject refusal =
        QJsonDocument::fromJson(zarvex(onBoard({"--json", "read"})).out.value(0).toUtf8()).object();
    QCOMPARE(refusal.value("reason").toString(), QString("busy"));
    QCOMPARE(refusal.value("pid").toInteger(), watch->processId());
    QCOMPARE(refusal.value("process").toString(), QString("zarvex"));
    ::kill(pid_t(watch->processId()), SIGTERM);
    QCOMPARE(finish(*watch).code, 0);
    // ...it ended and let it go; now the window's link holds it.
    QCOMPARE(zarvex(onBoard({"read"})).code, 0);
    std::unique_ptr<SerialLink> window(m_board->newLink());
    QVERIFY(!window->open());
    m_board->board().clearReceived();
    second = zarvex(onBoard({"write", "A=1"}));
    QCOMPARE(second.code, 3);
    QVERIFY2(second.err.contains("busy"), qPrintable(second.err));
    QCOMPARE(m_board->receivedWhenQuiet(), QByteArray());
}

void TstCli::lostPort()
{
    QProcess *watch = start(onBoard({"watch", "--interval", "10ms"}), this);
    QVERIFY(!nextLine(*watch).isEmpty());
    m_board->unplug();
    const Run run = finish(*watch);
    QCOMPARE(run.code, 5);
    QVERIFY2(run.err.contains("the port was lost"), qPrintable(run.err));
}

void TstCli::watchFollowsChanges()
{
    std::atomic<bool> counting = true;
    std::thread counter([&] {
        while (counting) {
            m_board->board().setInputPattern(Port::C, m_board->board().inputPattern(Port::C) + 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    const Run run = zarvex(onBoard({"watch", "C", "A.1", "--interval", "10ms", "--count", "3"}));
    counting = false;
    counter.join();
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out.size(), 4); // the state, then three changes
    int last = -1;
    for (const QString &line : run.out) {
        QVERIFY2(timestamp.match(line).hasMatch(), qPrintable(line));
        const QStringList values = line.section(' ', 1).split(' ');
        QCOMPARE(values.size(), 2);
        QCOMPARE(values[1], QString("A.1=1"));
        const int c = values[0].mid(4).toInt(nullptr, 16);
        QVERIFY2(c > last, qPrintable(line)); // every line a change, none repeated
        last = c;
    }
}

void TstCli::watchSaysNoAnswerOnce()
{
    QProcess *watch = start(onBoard({"watch", "--interval", "10ms"}), this);
    QVERIFY(nextLine(*watch).endsWith("A=0x5A B=0x00 C=0x00"));
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Silent);
    QVERIFY(nextLine(*watch).endsWith("no answer (no byte came)"));
    QTest::qWait(1000); // two more exchanges time out meanwhile
    m_board->board().setInputPattern(Port::B, 0x01);
    m_board->board().setReplyMode(PtyBoard::ReplyMode::Normal);
    QVERIFY(nextLine(*watch).endsWith("answering again"));
    QVERIFY(nextLine(*watch).endsWith("A=0x5A B=0x01 C=0x00"));
    ::kill(pid_t(watch->processId()), SIGINT);
    const Run rest = finish(*watch);
    QCOMPARE(rest.code, 0);
    QCOMPARE(rest.out, QStringList());
}

void TstCli::waitAndExpect_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("out");
    QTest::addColumn<int>("exchanges"); // -1: not counted

    QTest::newRow("expect holds") << QStringList{"expect", "A=0x5A", "A.1=1", "A&0xF0=0x50"} << 0
                                  << "A=0x5A A.1=1" << 1;
    QTest::newRow("expect fails") << QStringList{"expect", "A.0=1"} << 1 << "A.0=0" << 1;
    QTest::newRow("expect any") << QStringList{"expect", "A.0=1", "B=0", "--any"} << 0
                                << "A.0=0 B=0x00" << 1;
    QTest::newRow("wait stable") << QStringList{"wait",     "A=0x5A", "--timeout",  "5s",
                                                "--stable", "3",      "--interval", "10ms"}
                                 << 0 << "A=0x5A" << 3;
    QTest::newRow("wait times out")
        << QStringList{"wait", "C.7=1", "--timeout", "200ms", "--interval", "50ms"} << 1 << "C.7=0"
        << 5;
    QTest::newRow("wait for a change")
        << QStringList{"wait", "C=0x03", "--timeout", "forever", "--interval", "10ms"} << 0
        << "C=0x03" << -1;
    // A=0x5A: A.3 (RESET_N, active low) and A.4 (POWER) are high.
    const QString good = boardFile("good.toml");
    QTest::newRow("expect through names")
        << QStringList{"--board", good, "expect", "RESET_N=0", "POWER=1", "DONE=0"} << 0
        << "RESET_N=0 POWER=1 DONE=0" << 1;
    QTest::newRow("wait for an active-low line")
        << QStringList{"--board",   good,    "wait",       "RESET_N=1",
                       "--timeout", "200ms", "--interval", "50ms"}
        << 1 << "RESET_N=0" << 5;
}

void TstCli::waitAndExpect()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, out);
    QFETCH(int, exchanges);
    std::atomic<bool> counting = true;
    std::thread counter([&] {
        for (int c = 1; counting && c <= 3; ++c) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            m_board->board().setInputPattern(Port::C, quint8(c));
        }
    });
    const Run run = zarvex(onBoard(args));
    counting = false;
    counter.join();
    QCOMPARE(run.code, code);
    QCOMPARE(run.out, QStringList{out});
    if (exchanges >= 0)
        QCOMPARE(m_board->board().readRequests(), exchanges);
}

void TstCli::batchReplies_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<QString>("bytes");

    const QString script = "reset\nwrite A.3=1\n\n# a comment\nread A C.0  # trailing\nstate\n"
                           "expect A=0x5B\nread\n";
    const QString start = resetCommands + " 41 08 " + readPortsCommand + " " + readPortsCommand;
    QTest::newRow("stops at the first failure")
        << QStringList{} << script << 1
        << QStringList{"ok", "ok", "ok A=0x5A C.0=0",
                       "ok dir A=0xFF B=0xFF C=0xFF write A=0x08 B=0x00 C=0x00",
                       "fail line 7: expected A=0x5B, read A=0x5A"}
        << start;
    QTest::newRow("keeps going")
        << QStringList{"--keep-going"} << script << 1
        << QStringList{"ok",
                       "ok",
                       "ok A=0x5A C.0=0",
                       "ok dir A=0xFF B=0xFF C=0xFF write A=0x08 B=0x00 C=0x00",
                       "fail line 7: expected A=0x5B, read A=0x5A",
                       "ok A=0x5A B=0x00 C=0x00"}
        << start + " " + readPortsCommand;
    QTest::newRow("a line write needs its register")
        << QStringList{} << "write A.3=1\nreset\n"
        << 2
        << QStringList{"error line 1: \"A.3=1\" sets one line, but the other lines of port A's "
                       "write register are not known (the board cannot report them): set the "
                       "whole port first (A=0x.. before it on the same command line, or reset "
                       "or A=0x.. earlier in the same batch)"}
        << QString();
    QTest::newRow("pulse, sleep, then the closing check")
        << QStringList{} << "dir A=out\nwrite A=0x80\npulse A.0=1 20ms\nsleep 10ms\nquit\nread\n"
        << 0 << QStringList{"ok", "ok", "ok", "ok", "ok"}
        << "21 41 00 41 80 41 81 41 80 " + readPortsCommand;
    QTest::newRow("a failed expect was still an answer: no closing check")
        << QStringList{} << "reset\nexpect B.7=1\n"
        << 1 << QStringList{"ok", "fail line 2: expected B.7=1, read B.7=0"}
        << resetCommands + " " + readPortsCommand;
    const QString batchLines =
        "a batch line is read, dir, write, reset, setup, wait, expect, sleep, "
        "pulse, state or quit";
    QTest::newRow("unknown command")
        << QStringList{} << "read\nfrob\n"
        << 2
        << QStringList{"ok A=0x5A B=0x00 C=0x00",
                       "error line 2: unknown command \"frob\": " + batchLines}
        << readPortsCommand;
    QTest::newRow("strict options and arguments on a line")
        << QStringList{"--keep-going"}
        << "read --any\nwait A=1 --timeout 1s --timeout 2s\nreset now\nwatch\nread -- -x\n"
           "sleep 1ms --\nwait A=1 --timeout 1s --reconnect\nread A\n"
        << 2
        << QStringList{"error line 1: unknown option --any",
                       "error line 2: --timeout is given twice",
                       "error line 3: reset: unexpected argument now; usage: reset",
                       "error line 4: watch runs on the command line only: " + batchLines,
                       "error line 5: bad port or line \"-x\": expected a port A, B, C or a line "
                       "A.0 to C.7",
                       "ok",
                       "error line 7: wait: --reconnect is for the whole batch: zarvex batch "
                       "--reconnect",
                       "ok A=0x5A"}
        << readPortsCommand;
    // As a Windows editor saves a file; what a line echoes back cannot work a terminal.
    QTest::newRow("setup, then names")
        << QStringList{"--board", boardFile("good.toml")}
        << "setup\npulse RESET_N 20ms\nwrite POWER=1\nstate\nread DONE RESET_N POWER A\n"
        << 0
        << QStringList{"ok dir A=0xE7 B=0xFF C=0xFF write A=0x08 B=0x00 C=0x00 RESET_N=0 POWER=0",
                       "ok", "ok", "ok dir A=0xE7 B=0xFF C=0xFF write A=0x18 B=0x00 C=0x00",
                       "ok DONE=0 RESET_N=0 POWER=1 A=0x5A"}
        << "41 08 42 00 43 00 21 41 E7 21 42 FF 21 43 FF 41 00 41 08 41 18 " + readPortsCommand;
    QTest::newRow("a byte-order mark, Windows line ends, control bytes")
        << QStringList{"--keep-going"} << "\xEF\xBB\xBFread A\r\nwr\x1b]0;x\x07ite A=1\r\n"
        << 2
        << QStringList{"ok A=0x5A",
                       "error line 2: unknown command \"wr\\x1b]0;x\\x07ite\": " + batchLines}
        << readPortsCommand;
}

void TstCli::batchReplies()
{
    QFETCH(QStringList, options);
    QFETCH(QString, script);
    QFETCH(int, code);
    QFETCH(QStringList, replies);
    QFETCH(QString, bytes);
    // Through a pipe, so the lines are taken as they come.
    const Run run = zarvex(onBoard(QStringList{"batch"} + options), script.toUtf8());
    QCOMPARE(run.code, code);
    QCOMPARE(run.out.value(0), "open " + m_board->board().devicePath());
    QCOMPARE(run.out.mid(1), replies);
    QCOMPARE(hexBytes(m_board->receivedWhenQuiet()), bytes);
}

// A script that waits for each reply gets it before it sends more; a reply is not held back
// behind a pause that was already waiting in the input.
void TstCli::batchRepliesAreNotHeldBack()
{
    std::unique_ptr<QProcess> batch(start(onBoard({"batch"})));
    QVERIFY(nextLine(*batch).startsWith("open "));
    batch->write("read\n");
    QCOMPARE(nextLine(*batch), "ok A=0x5A B=0x00 C=0x00");
    batch->write("write A=1\nread A\nsleep 1m\n");
    QCOMPARE(nextLine(*batch), "ok");
    QCOMPARE(nextLine(*batch), "ok A=0x5A");
    batch->terminate();
    QVERIFY(batch->waitForFinished());
}

void TstCli::batchFileIsCheckedFirst()
{
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("reset\nread\nwrite A=300\nread Q\n");
    file.flush();
    Run run = zarvex(onBoard({"batch", "-f", file.fileName()}));
    QCOMPARE(run.code, 2);
    QCOMPARE(run.out, QStringList());
    QVERIFY2(run.err.contains("line 3: value \"300\"") && run.err.contains("line 4: bad port"),
             qPrintable(run.err));
    QCOMPARE(m_board->receivedWhenQuiet(), QByteArray());

    QTemporaryFile good;
    QVERIFY(good.open());
    good.write("reset\nwrite A.3=1\n");
    good.flush();
    // Checking needs no port.
    run = zarvex({"batch", "--check-only", "-f", good.fileName()});
    QCOMPARE(run.code, 0);
    QCOMPARE(run.out, QStringList());
}

void TstCli::jsonLines_data()
{
    QTest::addColumn<PtyBoard::ReplyMode>("mode");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    // What the one object on standard output holds, at least.
    QTest::addColumn<QByteArray>("fields");

    using Mode = PtyBoard::ReplyMode;
    QTest::newRow("read: the selection and the whole reading")
        << Mode::Normal << QStringList({"--json", "read", "A", "B.0"}) << 0
        << QByteArray(R"({"type":"read","ok":true,"values":{"A":90,"B.0":0},)"
                      R"("inputs":{"A":90,"B":0,"C":0}})");
    QTest::newRow("a failed expect has its reading")
        << Mode::Normal << QStringList({"--json", "expect", "C.1=1"}) << 1
        << QByteArray(R"({"type":"expect","ok":false,"exit":1,"values":{"C.1":0},)"
                      R"("inputs":{"A":90,"B":0,"C":0}})");
    QTest::newRow("no answer: the bytes that came")
        << Mode::Short << QStringList({"--json", "read"}) << 4
        << QByteArray(R"({"type":"read","ok":false,"exit":4,"received":2})");
    QTest::newRow("no answer after a write")
        << Mode::Silent << QStringList({"--json", "write", "A=1"}) << 4
        << QByteArray(R"({"type":"write","ok":false,"exit":4,"received":0})");
    QTest::newRow("absent port") << Mode::Normal
                                 << QStringList{"--json", "-d", "/dev/zarvex-none", "read"} << 3
                                 << QByteArray(
                                        R"({"type":"open","ok":false,"exit":3,"reason":"absent",)"
                                        R"("path":"/dev/zarvex-none"})");
    QTest::newRow("read: a board file's names, each as asserted")
        << Mode::Normal
        << QStringList({"--json", "--board", boardFile("good.toml"), "read", "DONE", "A.3"}) << 0
        << QByteArray(R"({"type":"read","ok":true,"values":{"DONE":0,"A.3":1},)"
                      R"("names":{"DONE":0,"POWER":1,"RESET_N":0}})");
    QTest::newRow("setup: what it loaded")
        << Mode::Normal << QStringList({"--json", "--board", boardFile("good.toml"), "setup"}) << 0
        << QByteArray(R"({"type":"setup","ok":true,"checked":true,"names":{"POWER":0,"RESET_N":0},)"
                      R"("direction":{"A":231,"B":255,"C":255},"write":{"A":8,"B":0,"C":0}})");
    QTest::newRow("a port that is no port")
        << Mode::Normal << QStringList{"--json", "-d", "tcp://lab7:4003", "batch"} << 2
        << QByteArray(R"({"type":"open","ok":false,"exit":2,"reason":"usage"})");
}

void TstCli::jsonLines()
{
    QFETCH(PtyBoard::ReplyMode, mode);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, fields);
    m_board->board().setReplyMode(mode);
    // Those that name no port of their own run on the board.
    const Run run = zarvex(args.contains("-d") ? args : onBoard(args));
    QCOMPARE(run.code, code);
    QCOMPARE(run.out.size(), 1);
    const QJsonObject object = QJsonDocument::fromJson(run.out[0].toUtf8()).object();
    QCOMPARE(object.value("version").toInt(), 1);
    const QJsonObject expected = QJsonDocument::fromJson(fields).object();
    for (auto field = expected.begin(); field != expected.end(); ++field)
        QCOMPARE(object.value(field.key()), field.value());
    if (object.contains("time"))
        QVERIFY(timestamp.match(object.value("time").toString() + ' ').hasMatch());
    if (!object.value("ok").toBool())
        QVERIFY(!object.value("message").toString().isEmpty());
}

void TstCli::portFromEnvironment()
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZARVEX_PORT", m_board->board().devicePath());
    process.setProcessEnvironment(environment);
    process.start(ZARVEX_CLI, {"read", "A"});
    QCOMPARE(finish(process).out, QStringList{"A=0x5A"});

    environment.insert("ZARVEX_PORT", "3.5");
    process.setProcessEnvironment(environment);
    process.start(ZARVEX_CLI, {"read"});
    const Run bad = finish(process);
    QCOMPARE(bad.code, 2);
    QVERIFY2(bad.err.contains("ZARVEX_PORT=3.5 is neither a port number"), qPrintable(bad.err));

    // --board wins over ZARVEX_BOARD, and -d over the file's device.
    environment.insert("ZARVEX_BOARD", boardFile("toml-syntax.toml"));
    process.setProcessEnvironment(environment);
    process.start(ZARVEX_CLI, {"--board", boardFile("good.toml"), "-d",
                               m_board->board().devicePath(), "read", "RESET_N"});
    QCOMPARE(finish(process).out, QStringList{"RESET_N=0"});
}

// The board file's device comes before ZARVEX_PORT; its names work on the command line.
void TstCli::namedInputFromTheBoardFilesDevice()
{
    QTemporaryFile board;
    QVERIFY(board.open());
    board.write("device = \"" + m_board->board().devicePath().toUtf8() +
                "\"\n[lines]\nDONE = \"B.0\"\n");
    board.flush();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZARVEX_PORT", "/dev/zarvex-none");
    environment.insert("ZARVEX_BOARD", board.fileName());
    process.setProcessEnvironment(environment);
    std::thread done([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_board->board().setInputPattern(Port::B, 0x01);
    });
    process.start(ZARVEX_CLI, {"wait", "DONE=1", "--timeout", "5s", "--interval", "10ms"});
    const Run run = finish(process);
    done.join();
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(run.out, QStringList{"DONE=1"});
    process.start(ZARVEX_CLI, {"read", "DONE"});
    QCOMPARE(finish(process).out, QStringList{"DONE=1"});
}

void TstCli::signalEndsAWaitCleanly()
{
    QProcess *wait =
        start(onBoard({"wait", "A=0", "--timeout", "forever", "--interval", "10ms"}), this);
    QVERIFY(m_board->board().waitForReceived(3, 5000));
    const QString lock = serialLayerLockPath(m_board->board().devicePath());
    QVERIFY(QFile::exists(lock));
    ::kill(pid_t(wait->processId()), SIGTERM);
    QVERIFY(wait->waitForFinished(5000));
    // Ended by the signal, as a shell expects, after closing the port.
    QCOMPARE(wait->exitStatus(), QProcess::CrashExit);
    QVERIFY(!QFile::exists(lock));
}

void TstCli::everyCommandHasHelpAndParses_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("sameAs"); // a command line that prints the same
    QTest::addColumn<QString>("firstLine");  // its beginning; empty: nothing printed

    // The commands as the help lists them, made from zarvex's table of commands.
    const Run general = zarvex({"--help"});
    QCOMPARE(general.code, 0);
    const QStringList commands = general.out.mid(general.out.indexOf("Commands:") + 1)
                                     .filter(QRegularExpression("^  [a-z]"));
    QVERIFY(commands.size() >= 9);
    for (const QString &line : commands) {
        const QString name = line.trimmed().section(' ', 0, 0);
        QTest::addRow("help %s", qPrintable(name))
            << QStringList{"help", name} << QByteArray() << QStringList{name, "--help"}
            << "Usage: zarvex " + name;
    }

    // A line of each batch command; one that is new here fails until it has one.
    const QHash<QString, QString> samples = {
        {"read", "read A B.3"},
        {"dir", "dir A=0xF0 A.3=out"},
        {"write", "write A=0 A.3=1"},
        {"reset", "reset"},
        {"setup", "setup"},
        {"wait", "wait A=1 B.0=0 --timeout=forever --stable 2 --any --interval 10ms"},
        {"expect", "expect A&0x0F=0x05 --any"},
        {"sleep", "sleep 1s"},
        {"pulse", "pulse A.3=1 50ms\npulse RESET_N 50ms"},
        {"state", "state"},
        {"quit", "quit"}};
    const Run batch = zarvex({"batch", "--help"});
    const qsizetype first = batch.out.indexOf(QRegularExpression(".*one open port:$")) + 1;
    const qsizetype end = batch.out.indexOf(QRegularExpression("^Blank lines.*"));
    QVERIFY(first > 0 && end > first);
    for (const QString &line : batch.out.mid(first, end - first)) {
        for (QString name : line.trimmed().section("  ", 0, 0).split(", ")) {
            name = name.section(' ', 0, 0);
            QVERIFY2(samples.contains(name), qPrintable("no sample line of " + name));
            QTest::addRow("batch line %s", qPrintable(name))
                << QStringList{"--board", boardFile("good.toml"), "batch", "--check-only"}
                << ("reset\n" + samples.value(name) + "\n").toUtf8() << QStringList() << QString();
            if (!commands.filter(QRegularExpression("^  " + name + "\\b")).isEmpty())
                continue;
            QTest::addRow("help %s", qPrintable(name))
                << QStringList{"help", name} << QByteArray() << QStringList{"-h", name}
                << "Usage: " + name;
        }
    }

    QTest::newRow("--version after a command")
        << QStringList{"read", "A", "--version"} << QByteArray() << QStringList{"--version"}
        << "zarvex ";
    QTest::newRow("--help after a command and its options")
        << QStringList{"wait", "A=1", "--any", "--help"} << QByteArray()
        << QStringList{"help", "wait"} << "Usage: zarvex wait COND...";
    QTest::newRow("help alone") << QStringList{"help"} << QByteArray() << QStringList{"-h"}
                                << "Usage: zarvex [-p N | -d PATH|URL]";
}

void TstCli::everyCommandHasHelpAndParses()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, sameAs);
    QFETCH(QString, firstLine);
    const Run run = zarvex(args, input);
    QVERIFY2(run.code == 0 && run.err.isEmpty(), qPrintable(run.err));
    if (firstLine.isEmpty())
        QCOMPARE(run.out, QStringList());
    else
        QVERIFY2(run.out.value(0).startsWith(firstLine), qPrintable(run.out.value(0)));
    if (!sameAs.isEmpty())
        QCOMPARE(run.out, zarvex(sameAs).out);
}

void TstCli::edgeTracker_data()
{
    QTest::addColumn<int>("stable");
    // Port B, read every 10 ms: "-" a reading that did not come, "|" the board came back.
    QTest::addColumn<QString>("readings");
    QTest::addColumn<QString>("events");

    const QString initial = "initial B.0=0@0 initial RESET_N=1@0";
    QTest::newRow("stable 1: each change at its reading")
        << 1 << "0 1 1 3 0"
        << initial + " edge B.0=1@10 edge RESET_N=0@30 edge B.0=0@40 edge RESET_N=1@40";
    QTest::newRow("stable 3: timed at the first of the three")
        << 3 << "0 1 1 1 1" << initial + " edge B.0=1@10";
    QTest::newRow("stable 3: shorter levels are dropped") << 3 << "0 1 1 0 1 1 0 2 2" << initial;
    QTest::newRow("stable 2: the level before a dropped one stays")
        << 2 << "1 0 1 0 0 1 1"
        << "initial B.0=1@0 initial RESET_N=1@0 edge B.0=0@30 edge B.0=1@50";
    QTest::newRow("a reading that did not come breaks the run")
        << 2 << "0 1 - 1 1" << initial + " edge B.0=1@30";
    QTest::newRow("back: the initial levels again")
        << 1 << "0 1 | 3" << initial + " edge B.0=1@10 initial B.0=1@30 initial RESET_N=0@30";
}

void TstCli::edgeTracker()
{
    QFETCH(int, stable);
    QFETCH(QString, readings);
    QFETCH(QString, events);
    // B.1 named, active low; B.0 given twice, the second time by port.
    EdgeTracker tracker(edgeLines({{Port::B, 0}, {Port::B, 1, "RESET_N", true}, {Port::B, 0}}),
                        stable);
    QCOMPARE(tracker.lines().size(), std::size_t(2));
    QStringList seen;
    std::int64_t atMs = 0;
    for (const QString &reading : readings.split(' ')) {
        const Inputs inputs{0, std::uint8_t(reading.toUInt(nullptr, 16)), 0};
        if (reading == "-")
            tracker.missed();
        else if (reading == "|")
            tracker.restart();
        for (const EdgeEvent &edge : reading.size() == 1 && reading[0].isDigit()
                                         ? tracker.take(inputs, atMs)
                                         : std::vector<EdgeEvent>()) {
            const Selector &line = tracker.lines()[edge.line];
            seen << QStringLiteral("%1 %2=%3@%4")
                        .arg(edge.kind == EdgeEvent::Kind::Initial ? "initial" : "edge",
                             line.alias.empty() ? QString("B.%1").arg(line.line)
                                                : QString::fromStdString(line.alias))
                        .arg(edge.value)
                        .arg(edge.atMs);
        }
        atMs += 10;
    }
    QCOMPARE(seen.join(' '), events);
    QCOMPARE(edgeLines({}).size(), std::size_t(24));
}

void TstCli::edgesOfACountingBoard_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("initial"); // the lines, as their initial levels come
    QTest::addColumn<QString>("quiet");   // a line whose levels are all too short

    // B counts up every 25 ms: B.0 holds a level 25 ms, B.4 400 ms.
    QTest::newRow("stable 1, JSON: the levels make the count")
        << QStringList{"--json", "watch", "--edges", "B", "--interval", "10ms", "--count", "24"}
        << "B.0 B.1 B.2 B.3 B.4 B.5 B.6 B.7" << QString();
    QTest::newRow("stable 12: shorter levels dropped")
        << QStringList{"watch",    "B.0", "--edges", "B.4", "--interval", "10ms",
                       "--stable", "12",  "--count", "2",   "--duration", "20s"}
        << "B.0 B.4"
        << "B.0";
}

void TstCli::edgesOfACountingBoard()
{
    QFETCH(QStringList, args);
    QFETCH(QString, initial);
    QFETCH(QString, quiet);
    EmulatorProcess emulator;
    const QString link = m_board->devDir() + "/counting";
    QVERIFY(
        emulator.start(ZARVEX_BOARD_EMULATOR, link, {"--count", "B", "--count-interval", "25"}));
    const Run run = zarvex(QStringList{"-d", link} + args);
    QVERIFY2(run.code == 0, qPrintable(run.err));
    const QRegularExpression text("^(\\S+) (B\\.\\d)=(\\d)( initial)?$");
    QMap<QString, int> levels;
    QStringList initials;
    QList<int> counts; // the port's value after each reading, made of its lines' levels
    QString lastTime;
    for (const QString &line : run.out) {
        const QJsonObject json = QJsonDocument::fromJson(line.toUtf8()).object();
        const QRegularExpressionMatch match = text.match(line);
        QVERIFY2(!json.isEmpty() || match.hasMatch(), qPrintable(line));
        const QString time = json.isEmpty() ? match.captured(1) : json["time"].toString();
        const QString name = json.isEmpty() ? match.captured(2) : json["line"].toString();
        const int level = json.isEmpty() ? match.captured(3).toInt() : json["value"].toInt();
        QVERIFY(timestamp.match(time + ' ').hasMatch());
        if (json.isEmpty() ? match.hasCaptured(4) : json["event"] == "initial") {
            initials << name;
        } else {
            QCOMPARE(initials.join(' '), initial); // every initial level first
            QCOMPARE(level, 1 - levels.value(name));
            QVERIFY2(name != quiet, qPrintable(line));
        }
        if (time != lastTime && levels.size() == 8)
            counts << levels["B.0"] + 2 * levels["B.1"] + 4 * levels["B.2"] + 8 * levels["B.3"] +
                          16 * levels["B.4"] + 32 * levels["B.5"] + 64 * levels["B.6"] +
                          128 * levels["B.7"];
        levels[name] = level;
        lastTime = time;
    }
    QCOMPARE(run.out.size(), initials.size() + args.value(args.indexOf("--count") + 1).toInt());
    // The count only goes up (the last reading's edges may not all have been said).
    for (qsizetype i = 1; i < counts.size(); ++i)
        QVERIFY2((counts[i] - counts[i - 1] + 256) % 256 < 128 && counts[i] != counts[i - 1],
                 qPrintable(QString("%1 then %2").arg(counts[i - 1]).arg(counts[i])));
}

void TstCli::reconnects_data()
{
    QTest::addColumn<QStringList>("args");
    // Written to it, and the beginnings or ends of the lines printed.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after"); // the same once the board went
    QTest::addColumn<int>("code");          // without a signal

    const QString loss = "the port was lost (unplugged, or the device went away)";
    QTest::newRow("watch") << QStringList{"watch", "A", "--interval", "20ms", "--reconnect"}
                           << QStringList{"", "A=0x5A"}
                           << QStringList{"", "board gone (" + loss + ")", "back", "A=0x11"} << -1;
    QTest::newRow("wait") << QStringList{"wait",       "A=0x11", "--timeout",  "forever",
                                         "--interval", "20ms",   "--reconnect"}
                          << QStringList{""}
                          << QStringList{"", "board gone (" + loss + ")", "back", "A=0x11"} << 0;
    // The command the board went in fails; the next waits for it. Nothing is sent again, and
    // registers loaded before are not known.
    QTest::newRow("batch") << QStringList{"--no-check", "batch", "--reconnect"}
                           << QStringList{"reset\nread A\n", "open ", "ok", "ok A=0x5A"}
                           << QStringList{"write A=1\nread A\nwrite A.0=1\n",
                                          "error line 3: " + loss,
                                          "board gone (" + loss + ")",
                                          "back",
                                          "ok A=0x11",
                                          "error line 5: \"A.0=1\" sets one line"}
                           << 5;
}

// The emulator ends, its link goes, and another one comes on the same link.
void TstCli::reconnects()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(int, code);
    const QString link = m_board->devDir() + "/com9";
    auto emulator = std::make_unique<EmulatorProcess>();
    QVERIFY(emulator->start(ZARVEX_BOARD_EMULATOR, link, {"--input", "A=5A"}));
    std::unique_ptr<QProcess> run(start(QStringList{"-d", link} + args));
    EmulatorProcess again;
    for (const QStringList &lines : {before, after}) {
        run->write(lines.front().toUtf8());
        for (const QString &end : lines.mid(1)) {
            if (end == "back")
                QVERIFY(again.start(ZARVEX_BOARD_EMULATOR, link, {"--input", "A=11"}));
            const QString line = nextLine(*run);
            const bool event = end.startsWith("board gone") || end == "back";
            QVERIFY2((line.startsWith(end) || line.endsWith(end)) &&
                         (!event || timestamp.match(line).hasMatch()),
                     qPrintable(line));
        }
        if (emulator) {
            QVERIFY(emulator->waitForLogged("read-ports", 1));
            emulator.reset();
        }
    }
    if (code < 0)
        ::kill(pid_t(run->processId()), SIGTERM);
    const Run rest = finish(*run);
    QCOMPARE(rest.code, std::max(code, 0));
    QCOMPARE(rest.out, QStringList());
    QVERIFY(again.waitForLogged("read-ports", 1));
    QCOMPARE(again.log(), QStringList{"read-ports -> 11 00 00"});
}

QTEST_GUILESS_MAIN(TstCli)
#include "tst_cli.moc"
