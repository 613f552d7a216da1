// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// zarvex bridge as a process, in front of a real ser2net that serves the emulator process:
// the window's view of a remote board is the bridge's link, used by zarvex runs as clients.
#include "clirun.h"
#include "porttargets.h"
#include "ser2netserver.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

// In the child before exec, async-signal-safe: makes the file `prefix` + its pid.
void makeFileForOwnPid(const char *prefix)
{
    char path[PATH_MAX];
    const std::size_t length = std::strlen(prefix);
    std::memcpy(path, prefix, length);
    char digits[24];
    int count = 0;
    for (unsigned long pid = unsigned(::getpid()); pid != 0 || count == 0; pid /= 10)
        digits[count++] = char('0' + pid % 10);
    for (int i = 0; i < count; ++i)
        path[length + i] = digits[count - 1 - i];
    path[length + count] = '\0';
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
    [[maybe_unused]] const ssize_t written = ::write(fd, "notes\n", 6);
    ::close(fd);
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// Another client of the server, holding its port while it lives.
class PortHolder
{
public:
    explicit PortHolder(quint16 port) : m_fd(connectTo(port)) {}
    ~PortHolder() { ::close(m_fd); }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

    bool holds() const { return m_fd >= 0; }

private:
    int m_fd;
};

// A tunnel to a server far away: what the server says to the one client it takes comes
// through only on release(), after the client has taken the connection for made.
class SlowTunnel
{
public:
    SlowTunnel() : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
            ::listen(m_listener, 1) == 0 &&
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~SlowTunnel()
    {
        ::close(m_client);
        ::close(m_listener);
    }
    SlowTunnel(const SlowTunnel &) = delete;
    SlowTunnel &operator=(const SlowTunnel &) = delete;

    QString url() const { return QStringLiteral("socket://127.0.0.1:%1").arg(m_port); }
    // Takes the client and hears the server out, until it closes.
    QByteArray takeClient(quint16 serverPort)
    {
        pollfd waiting{m_listener, POLLIN, 0};
        if (::poll(&waiting, 1, 5000) != 1)
            return {};
        m_client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = connectTo(serverPort);
        char buffer[256];
        for (ssize_t count; (count = ::read(server, buffer, sizeof buffer)) > 0;)
            m_said.append(buffer, count);
        ::close(server);
        return m_said;
    }
    void release()
    {
        [[maybe_unused]] const ssize_t written = ::write(m_client, m_said.data(), m_said.size());
        ::close(std::exchange(m_client, -1));
    }

private:
    int m_listener;
    int m_client = -1;
    quint16 m_port = 0;
    QByteArray m_said;
};

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
    void busyServer_data();
    void busyServer();
    void startsAgainAfterSigkill();
    void leavesOtherFilesAlone();
    void keepsGoingUnderNohup();
    void refusals();

private:
    // Serves the emulator through ser2net, and starts a bridge to it with a link.
    bool startBridge(Ser2netServer::Mode mode, const std::function<void()> &inChild = {});
    bool startServer(Ser2netServer::Mode mode);
    // Starts a bridge to the server and returns whether its first line names its link.
    bool launchBridge(const std::function<void()> &inChild = {});
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

bool TstBridge::startBridge(Ser2netServer::Mode mode, const std::function<void()> &inChild)
{
    return startServer(mode) && launchBridge(inChild);
}

bool TstBridge::startServer(Ser2netServer::Mode mode)
{
    return m_server->start(QFileInfo(m_dir->filePath("board")).symLinkTarget(), mode);
}

bool TstBridge::launchBridge(const std::function<void()> &inChild)
{
    m_bridge.reset(start({"bridge", m_server->url(), "--link", m_link}, nullptr, inChild));
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

void TstBridge::busyServer_data()
{
    bytesIntactAcrossClients_data();
}

// Another client holds the server's port: at the start the bridge gives up; later, while it
// reconnects, it says so once rather than at every try.
void TstBridge::busyServer()
{
    QFETCH(Ser2netServer::Mode, mode);
    QVERIFY(startServer(mode));
    auto holder = std::make_unique<PortHolder>(m_server->port());
    QVERIFY(holder->holds());
    const Run run = zarvex({"bridge", m_server->url(), "--link", m_link});
    QCOMPARE(run.code, 3);
    QVERIFY2(
        run.err.startsWith(QStringLiteral("zarvex: cannot open %1: busy").arg(m_server->url())),
        qPrintable(run.err));
    QVERIFY(run.out.isEmpty());
    QVERIFY(!QFileInfo(m_link).isSymLink());
    if (mode == Ser2netServer::Mode::Raw) {
        // Far away, the server's words come after the bridge has started serving: it still
        // ends as if the open had failed.
        SlowTunnel tunnel;
        std::unique_ptr<QProcess> bridge(start({"bridge", tunnel.url(), "--link", m_link}));
        QVERIFY(tunnel.takeClient(m_server->port()).contains("in use"));
        QVERIFY(nextLine(*bridge).startsWith(QStringLiteral("bridge %1").arg(tunnel.url())));
        tunnel.release();
        const Run late = finish(*bridge);
        QCOMPARE(late.code, 3);
        QVERIFY2(
            late.err.startsWith(QStringLiteral("zarvex: cannot open %1: busy").arg(tunnel.url())),
            qPrintable(late.err));
        QVERIFY(!QFileInfo(m_link).isSymLink());
    }
    holder.reset();

    QVERIFY(launchBridge());
    m_bridge->setReadChannel(QProcess::StandardError);
    // Stopped, so that the other client is there before the bridge's first try.
    const auto pid = pid_t(m_bridge->processId());
    ::kill(pid, SIGSTOP);
    m_server->kill();
    QVERIFY(m_server->restart());
    holder = std::make_unique<PortHolder>(m_server->port());
    QVERIFY(holder->holds());
    ::kill(pid, SIGCONT);
    QCOMPARE(nextLine(*m_bridge),
             QStringLiteral("zarvex: bridge: lost %1; reconnecting").arg(m_server->url()));
    const QString busy = nextLine(*m_bridge);
    QVERIFY2(busy.startsWith(QStringLiteral("zarvex: bridge: %1: busy").arg(m_server->url())),
             qPrintable(busy));
    // Long enough for a few more tries, one a second.
    QTest::qWait(3500);
    holder.reset();
    QCOMPARE(nextLine(*m_bridge),
             QStringLiteral("zarvex: bridge: reconnected to %1").arg(m_server->url()));
    QCOMPARE(zarvex({"-d", m_link, "read"}).code, 0);
    QVERIFY(endBridge(SIGTERM));
}

// Killed, the bridge leaves its link to a pty that is gone; the next one, most likely given the
// same pty number, takes the link over rather than refuse it at every restart.
void TstBridge::startsAgainAfterSigkill()
{
    QVERIFY(startBridge(Ser2netServer::Mode::Raw));
    const QString device = QFileInfo(m_link).symLinkTarget();
    m_bridge->kill();
    QVERIFY(m_bridge->waitForFinished());
    QCOMPARE(QFileInfo(m_link).symLinkTarget(), device);
    // The server lets the killed bridge's connection go when it gets to it; until then it is
    // busy, and a new bridge says so and ends (3).
    bool launched = launchBridge();
    while (!launched && m_bridge->waitForFinished() && m_bridge->exitCode() == 3) {
        QVERIFY(m_bridge->readAllStandardError().contains("busy"));
        QTest::qWait(50);
        launched = launchBridge();
    }
    QVERIFY(launched);
    const Run read = zarvex({"-d", m_link, "read"});
    QVERIFY2(read.code == 0, qPrintable(read.err));
    QVERIFY(endBridge(SIGTERM));
}

// A file named as an older version named its temporary link is somebody's file.
void TstBridge::leavesOtherFilesAlone()
{
    QVERIFY(startServer(Ser2netServer::Mode::Raw));
    const QByteArray prefix = QFile::encodeName(m_link + ".new.");
    QVERIFY(launchBridge([prefix] { makeFileForOwnPid(prefix.constData()); }));
    const QString notes = m_link + ".new." + QString::number(m_bridge->processId());
    QVERIFY(endBridge(SIGTERM));
    QFile file(notes);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("notes\n"));
    QCOMPARE(QDir(m_dir->path()).entryList({"com7*"}, QDir::System | QDir::Files),
             QStringList{QFileInfo(notes).fileName()});
}

// Started with SIGHUP ignored (nohup), it stays ignored: the bridge goes on serving.
void TstBridge::keepsGoingUnderNohup()
{
    QVERIFY(startBridge(Ser2netServer::Mode::Raw, [] { ::signal(SIGHUP, SIG_IGN); }));
    ::kill(pid_t(m_bridge->processId()), SIGHUP);
    const Run read = zarvex({"-d", m_link, "read"});
    QVERIFY2(read.code == 0, qPrintable(read.err));
    QCOMPARE(m_bridge->state(), QProcess::Running);
    QVERIFY(endBridge(SIGTERM));
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

    // A link that could never be made is refused before connecting: a mistaken argument.
    const QString nowhere = m_dir->filePath("missing/com7");
    run = zarvex({"bridge", url, "--link", nowhere});
    QCOMPARE(run.code, 2);
    QCOMPARE(run.err, QStringLiteral("zarvex: bridge: cannot create link %1: no folder %2\n")
                          .arg(nowhere, m_dir->filePath("missing")));
    run = zarvex({"bridge", url, "--link", ""});
    QCOMPARE(run.code, 2);
    QCOMPARE(run.err, QStringLiteral("zarvex: bridge: --link needs a path\n"));

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
