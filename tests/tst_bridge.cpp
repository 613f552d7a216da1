// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// zarvex bridge as a process, in front of a real ser2net that serves the emulator process:
// the window's view of a remote board is the bridge's link, used by zarvex runs as clients.
#include "clirun.h"
#include "porttargets.h"
#include "ser2netserver.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QStringList resetLog = {"set-direction A FF", "set-direction B FF", "set-direction C FF",
                              "write-port A 00",    "write-port B 00",    "write-port C 00"};
const QString readLog = QStringLiteral("read-ports -> FF FF FF");

// As root the open gets through whatever the flag; another user's fails with EBUSY.
bool isExclusive(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    return exclusive != 0;
}

} // namespace

class TstBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void bytesIntactAcrossClients_data();
    void bytesIntactAcrossClients();
    void killedClientLeavesNoExclusiveFlag();
    void reconnectsWhenServerComesBack();
    void refusals();

private:
    // Serves the emulator through ser2net, and starts a bridge to it with a link.
    bool startBridge(Ser2netServer::Mode mode);
    bool endBridge(int signal);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<EmulatorProcess> m_emulator;
    std::unique_ptr<Ser2netServer> m_server;
    std::unique_ptr<QProcess> m_bridge;
    QString m_link;
};

void TstBridge::init()
{
    if (!Ser2netServer::available())
        QSKIP("ser2net is not installed");
    m_dir = std::make_unique<QTemporaryDir>();
    m_link = m_dir->filePath("com7");
    m_emulator = std::make_unique<EmulatorProcess>();
    QVERIFY(m_emulator->start(ZARVEX_BOARD_EMULATOR, m_dir->filePath("board"),
                              {"--input", "A=FF", "--input", "B=FF", "--input", "C=FF"}));
    m_server = std::make_unique<Ser2netServer>();
}

void TstBridge::cleanup()
{
    if (m_bridge) {
        m_bridge->kill();
        m_bridge->waitForFinished();
    }
    m_bridge.reset();
    m_server.reset();
    m_emulator.reset();
    m_dir.reset();
}

bool TstBridge::startBridge(Ser2netServer::Mode mode)
{
    if (!m_server->start(QFileInfo(m_dir->filePath("board")).symLinkTarget(), mode))
        return false;
    m_bridge.reset(start({"bridge", m_server->url(), "--link", m_link}));
    const QString first = nextLine(*m_bridge);
    const QString expected = QStringLiteral("bridge %1 <-> %2 (link %3)")
                                 .arg(m_server->url(), QFileInfo(m_link).symLinkTarget(), m_link);
    return first == expected;
}

bool TstBridge::endBridge(int signal)
{
    ::kill(pid_t(m_bridge->processId()), signal);
    return finish(*m_bridge).code == 0 && !QFileInfo(m_link).isSymLink();
}

void TstBridge::bytesIntactAcrossClients_data()
{
    QTest::addColumn<Ser2netServer::Mode>("mode");
    QTest::newRow("raw") << Ser2netServer::Mode::Raw;
    QTest::newRow("rfc2217") << Ser2netServer::Mode::Rfc2217;
}

// 0xFF is the telnet escape: it must cross the bridge intact both ways, and the bridge serves
// one client after another on the same connection.
void TstBridge::bytesIntactAcrossClients()
{
    QFETCH(Ser2netServer::Mode, mode);
    QVERIFY(startBridge(mode));
    QCOMPARE(zarvex({"-d", m_link, "reset"}).code, 0);
    QCOMPARE(zarvex({"-d", m_link, "write", "A=0xFF"}).code, 0);
    const Run read = zarvex({"-d", m_link, "read"});
    QCOMPARE(read.code, 0);
    QCOMPARE(read.out, QStringList{"A=0xFF B=0xFF C=0xFF"});
    QVERIFY(m_emulator->waitForLogged("read-ports", 3));
    const QStringList expected =
        resetLog + QStringList{readLog, "write-port A FF", readLog, readLog};
    QCOMPARE(m_emulator->log(), expected);
    QVERIFY(endBridge(SIGTERM));
}

// A client killed while it holds the device exclusively would otherwise lock out every later
// one, as the bridge's own descriptor keeps the device from its last close.
void TstBridge::killedClientLeavesNoExclusiveFlag()
{
    QVERIFY(startBridge(Ser2netServer::Mode::Rfc2217));
    std::unique_ptr<QProcess> watch(start({"-d", m_link, "watch"}));
    QVERIFY(nextLine(*watch).endsWith("A=0xFF B=0xFF C=0xFF"));
    QVERIFY(isExclusive(m_link));
    watch->kill();
    watch->waitForFinished();
    QTRY_VERIFY(!isExclusive(m_link));
    const Run read = zarvex({"-d", m_link, "read"});
    QVERIFY2(read.code == 0, qPrintable(read.err));
    QVERIFY(endBridge(SIGINT));
}

void TstBridge::reconnectsWhenServerComesBack()
{
    QVERIFY(startBridge(Ser2netServer::Mode::Rfc2217));
    m_bridge->setReadChannel(QProcess::StandardError);
    m_server->kill();
    QCOMPARE(nextLine(*m_bridge),
             QStringLiteral("zarvex: bridge: lost %1; reconnecting").arg(m_server->url()));
    // Nothing is there to take it; it must not reach the board later either.
    QCOMPARE(zarvex({"-d", m_link, "write", "B=0x12"}).code, 4);
    QVERIFY(m_server->restart());
    QCOMPARE(nextLine(*m_bridge),
             QStringLiteral("zarvex: bridge: reconnected to %1").arg(m_server->url()));
    const Run read = zarvex({"-d", m_link, "read"});
    QVERIFY2(read.code == 0, qPrintable(read.err));
    QVERIFY(m_emulator->waitForLogged("read-ports", 1));
    QCOMPARE(m_emulator->log(), QStringList{readLog});
    QVERIFY(endBridge(SIGHUP));
}

void TstBridge::refusals()
{
    // Nothing listens: no pty, no link.
    QVERIFY(m_server->start(m_dir->filePath("board"), Ser2netServer::Mode::Raw));
    const QString url = m_server->url();
    m_server->kill();
    Run run = zarvex({"bridge", url, "--link", m_link});
    QCOMPARE(run.code, 3);
    QVERIFY2(run.err.startsWith(QStringLiteral("zarvex: cannot open %1: ").arg(url)),
             qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFileInfo(m_link).isSymLink());

    // A second bridge leaves the first one's link alone.
    m_server = std::make_unique<Ser2netServer>();
    QVERIFY(startBridge(Ser2netServer::Mode::Raw));
    const QString device = QFileInfo(m_link).symLinkTarget();
    run = zarvex({"bridge", m_server->url(), "--link", m_link});
    QCOMPARE(run.code, 3);
    QVERIFY2(run.err.contains("another program serves"), qPrintable(run.err));
    QCOMPARE(QFileInfo(m_link).symLinkTarget(), device);
    QVERIFY(endBridge(SIGTERM));
}

QTEST_GUILESS_MAIN(TstBridge)
#include "tst_bridge.moc"
