// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// zarvex, the command-line program, run as a process against the board emulator (a process
// too) behind a real ser2net on 127.0.0.1, every case over raw TCP and over RFC 2217.
#include "clirun.h"
#include "porttargets.h"
#include "ser2netserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>

namespace {

// A board whose inputs all read high, exported by ser2net; stopped in reverse order.
struct RemoteBoard
{
    QTemporaryDir dir;
    EmulatorProcess emulator;
    Ser2netServer server;
};

} // namespace

class TstRemote : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();
    void cleanup();

    void commandsReachTheBoard();
    void secondClientIsTurnedAway();
    void serverGoesAway();
    void watchWaitsForTheServer();
    void urlFromEnvironment();
    void telnetPortReachedRaw();

private:
    QStringList onServer(const QStringList &args) const
    {
        return QStringList{"-d", m_remote->server.url()} + args;
    }
    QString hostPort() const { return QStringLiteral("127.0.0.1:%1").arg(m_remote->server.port()); }

    std::unique_ptr<RemoteBoard> m_remote;
};

void TstRemote::initTestCase_data()
{
    QTest::addColumn<Ser2netServer::Mode>("mode");
    QTest::newRow("raw") << Ser2netServer::Mode::Raw;
    QTest::newRow("rfc2217") << Ser2netServer::Mode::Rfc2217;
}

void TstRemote::initTestCase()
{
    if (!Ser2netServer::available())
        QSKIP("ser2net is not installed");
}

void TstRemote::init()
{
    QFETCH_GLOBAL(Ser2netServer::Mode, mode);
    m_remote = std::make_unique<RemoteBoard>();
    const QString link = m_remote->dir.filePath("board");
    QVERIFY(m_remote->emulator.start(ZARVEX_BOARD_EMULATOR, link,
                                     {"--input", "A=FF", "--input", "B=FF", "--input", "C=FF"}));
    QString error;
    QVERIFY2(m_remote->server.start(link, mode, &error), qPrintable(error));
}

void TstRemote::cleanup()
{
    m_remote.reset();
}

// Every byte arrives once, in order, and nothing else: not ser2net's start, not the telnet
// negotiation, not the closing of each connection.
void TstRemote::commandsReachTheBoard()
{
    Run run = zarvex(onServer({"reset"}));
    QVERIFY2(run.code == 0, qPrintable(run.err));
    run = zarvex(onServer({"write", "A=0xFF"}));
    QVERIFY2(run.code == 0, qPrintable(run.err));
    run = zarvex(onServer({"read"}));
    QVERIFY2(run.code == 0, qPrintable(run.err));
    QCOMPARE(run.out, QStringList{"A=0xFF B=0xFF C=0xFF"});

    const QString check = "read-ports -> FF FF FF";
    QVERIFY(m_remote->emulator.waitForLogged("read-ports", 3));
    QTest::qWait(50); // for anything that would follow
    QCOMPARE(m_remote->emulator.log(),
             QStringList({"set-direction A FF", "set-direction B FF", "set-direction C FF",
                          "write-port A 00", "write-port B 00", "write-port C 00", check,
                          "write-port A FF", check, check}));
}

void TstRemote::secondClientIsTurnedAway()
{
    std::unique_ptr<QProcess> watch(start(onServer({"watch"})));
    QVERIFY(nextLine(*watch).endsWith("A=0xFF B=0xFF C=0xFF"));
    const Run second = zarvex(onServer({"write", "A=0x01"}));
    QCOMPARE(second.code, 3);
    QVERIFY2(second.err.contains("busy: another client holds " + hostPort()),
             qPrintable(second.err));
    ::kill(pid_t(watch->processId()), SIGTERM);
    QCOMPARE(finish(*watch).code, 0);
    QCOMPARE(m_remote->emulator.logged("write-port"), 0);
}

// ser2net dies under a running watch, is not there for the next run, and comes back.
void TstRemote::serverGoesAway()
{
    std::unique_ptr<QProcess> watch(start(onServer({"watch", "--interval", "10ms"})));
    QVERIFY(!nextLine(*watch).isEmpty());
    m_remote->server.kill();
    const Run lost = finish(*watch);
    QCOMPARE(lost.code, 5);
    QVERIFY2(lost.err.contains("the connection to " + hostPort() + " was closed"),
             qPrintable(lost.err));

    const Run refused = zarvex(onServer({"read"}));
    QCOMPARE(refused.code, 3);
    QVERIFY2(refused.err.contains("nothing listens on " + hostPort()), qPrintable(refused.err));

    QString error;
    QVERIFY2(m_remote->server.restart(&error), qPrintable(error));
    const Run again = zarvex(onServer({"read", "A"}));
    QVERIFY2(again.code == 0, qPrintable(again.err));
    QCOMPARE(again.out, QStringList{"A=0xFF"});
}

// With --reconnect a watch outlives the server's restart: said as events, then a fresh state.
void TstRemote::watchWaitsForTheServer()
{
    std::unique_ptr<QProcess> watch(
        start(onServer({"--json", "watch", "A", "--interval", "20ms", "--reconnect"})));
    const auto next = [&] { return QJsonDocument::fromJson(nextLine(*watch).toUtf8()).object(); };
    QCOMPARE(next().value("type").toString(), QString("state"));
    m_remote->server.kill();
    const QJsonObject gone = next();
    QCOMPARE(gone.value("type").toString() + ' ' + gone.value("event").toString() + ' ' +
                 gone.value("message").toString(),
             "event gone the connection to " + hostPort() + " was closed");
    QVERIFY(m_remote->server.restart());
    QCOMPARE(next().value("event").toString(), QString("back"));
    QCOMPARE(next().value("values").toObject().value("A").toInt(), 0xFF);
    ::kill(pid_t(watch->processId()), SIGTERM);
    QCOMPARE(finish(*watch).code, 0);
    QCOMPARE(m_remote->emulator.log().filter(QRegularExpression("^(?!read-ports)")), QStringList());
}

void TstRemote::urlFromEnvironment()
{
    const QString url = m_remote->server.url();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZARVEX_PORT", url);
    process.setProcessEnvironment(environment);
    process.start(ZARVEX_CLI, {"read", "A"});
    QCOMPARE(finish(process).out, QStringList{"A=0xFF"});

    process.start(ZARVEX_CLI, {"--json", "batch"});
    const Run batch = finish(process, "read B\n");
    QCOMPARE(batch.code, 0);
    QCOMPARE(batch.out.size(), 2);
    const QJsonObject open = QJsonDocument::fromJson(batch.out[0].toUtf8()).object();
    QCOMPARE(open.value("type").toString(), QString("open"));
    QCOMPARE(open.value("path").toString(), url);
    // The board's deadline, and the network's share of the wait on top of it.
    QCOMPARE(open.value("reply_deadline_ms").toInt(), 400 + open.value("round_trip_ms").toInt());
    QCOMPARE(open.value("settings").toString(),
             url.startsWith("rfc2217") ? QString("confirmed") : QString());
    const QJsonObject read = QJsonDocument::fromJson(batch.out[1].toUtf8()).object();
    QCOMPARE(read.value("ok").toBool(), true);
    QCOMPARE(read.value("values").toObject().value("B").toInt(), 0xFF);
}

// The server's negotiation would reach the board as commands, and ours would lose their 0xFF:
// refused before anything is sent.
void TstRemote::telnetPortReachedRaw()
{
    QFETCH_GLOBAL(Ser2netServer::Mode, mode);
    if (mode != Ser2netServer::Mode::Rfc2217)
        QSKIP("a raw port is reached raw");
    const Run run = zarvex({"-d", "socket://" + hostPort(), "reset"});
    QCOMPARE(run.code, 3);
    QVERIFY2(run.err.contains(hostPort() + " speaks telnet (RFC 2217): use rfc2217://"),
             qPrintable(run.err));
    QVERIFY(zarvex(onServer({"read"})).code == 0);
    QVERIFY(m_remote->emulator.waitForLogged("read-ports", 1));
    QCOMPARE(m_remote->emulator.log(), QStringList{"read-ports -> FF FF FF"});
}

QTEST_GUILESS_MAIN(TstRemote)
#include "tst_remote.moc"
