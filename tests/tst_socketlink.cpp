// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// A board behind a serial server: the addresses, the telnet codec byte by byte, and the
// network link driving the command set against a scripted server on 127.0.0.1.
#include "device/commandset.h"
#include "device/remoteaddress.h"
#include "device/socketlink.h"
#include "device/telnetcodec.h"

#include <QtTest>

#include <future>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Codec = TelnetCodec;

const auto hex = [](const char *text) { return QByteArray::fromHex(text); };

std::string bytes(const QByteArray &bytes)
{
    return bytes.toStdString();
}

QString qstr(const std::string &text)
{
    return QString::fromStdString(text);
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

const QByteArray Greeting = hex("FFFB03 FFFD03 FFFB01 FFFE01 FFFD00 FFFB00 FFFD2C");
// What the greeting needs answered: DO SGA, WONT SGA, DONT ECHO.
const QByteArray GreetingAnswers = hex("FFFD03 FFFC03 FFFE01");
const QByteArray Confirmations = hex("FFFA2C65 00002580 FFF0 FFFA2C6608FFF0 FFFA2C6701FFF0"
                                     "FFFA2C6801FFF0 FFFA2C6901FFF0");
const QByteArray LineState = hex("FFFA2C6A60FFF0");
const QByteArray ModemState = hex("FFFA2C6B30FFF0");

// One connection, served by a thread from a script of steps: '>' sends the bytes (20 ms after
// the step before, so that pieces come apart), '<' waits until the client has sent them, 'd'
// pauses for as many milliseconds as the bytes say, 'f' (last) sends them again and again
// (none: nothing) without reading until the client hangs up, 'x' (last) hangs up. Until then it
// keeps what the client sends, up to the client's hanging up.
class ScriptedServer
{
public:
    using Script = QList<std::pair<char, QByteArray>>;

    ScriptedServer()
    {
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        const auto any = reinterpret_cast<sockaddr *>(&address);
        if (::bind(m_listener, any, length) == 0 && ::listen(m_listener, 1) == 0 &&
            ::getsockname(m_listener, any, &length) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~ScriptedServer()
    {
        ::shutdown(m_listener, SHUT_RDWR); // ends a wait for the next connection
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
    }
    RemoteAddress address(RemoteAddress::Protocol protocol) const
    {
        return {protocol, "127.0.0.1", m_port};
    }
    // Plays the script to the next `connections` clients, one after the other; -1: to every
    // client until the server goes.
    void start(const Script &script, int connections = 1)
    {
        // Under way before the client connects: a busy machine may start a thread late.
        std::promise<void> running;
        m_thread = std::thread([this, script, connections, &running] {
            running.set_value();
            for (int served = 0; served != connections && serve(script); ++served) {
            }
        });
        running.get_future().wait();
    }
    // Once the client has hung up; no other client is served after it.
    QByteArray received()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        return m_received;
    }

private:
    bool serve(const Script &script)
    {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return false;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        bool hungUp = false;
        for (qsizetype at = 0; at < script.size(); ++at) {
            const auto &[step, bytes] = script[at];
            if (step == '>' && at > 0)
                ::usleep(20 * 1000);
            if (step == '>')
                ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
            if (step == 'd')
                ::usleep(useconds_t(bytes.toInt()) * 1000);
            if (step == 'f')
                flood(fd, bytes);
            hungUp = hungUp || step == 'x';
            while (step == '<' && !m_received.contains(bytes) && readSome(fd)) {
            }
        }
        while (!hungUp && readSome(fd)) {
        }
        ::close(fd);
        return true;
    }
    // Bounded, as a test's server must be: by the client's hang-up, or FloodLimitS.
    static void flood(int fd, const QByteArray &bytes)
    {
        constexpr int FloodLimitS = 20;
        QByteArray burst;
        while (!bytes.isEmpty() && burst.size() < 16 * 1024)
            burst += bytes;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < FloodLimitS * 1000) {
            pollfd socket{fd, short(burst.isEmpty() ? POLLRDHUP : POLLOUT | POLLRDHUP), 0};
            if (::poll(&socket, 1, 100) < 0 || (socket.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                return;
            if ((socket.revents & POLLOUT) &&
                ::send(fd, burst.constData(), size_t(burst.size()), MSG_NOSIGNAL | MSG_DONTWAIT) <
                    0 &&
                errno != EAGAIN)
                return;
        }
    }
    bool readSome(int fd)
    {
        pollfd socket{fd, POLLIN, 0};
        char buffer[256];
        const ssize_t count = ::poll(&socket, 1, 5000) > 0 ? ::recv(fd, buffer, 256, 0) : -1;
        if (count > 0)
            m_received.append(buffer, count);
        return count > 0;
    }

    int m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    quint16 m_port = 0;
    std::thread m_thread;
    QByteArray m_received;
};

constexpr auto Raw = RemoteAddress::Protocol::Raw;
constexpr auto Rfc2217 = RemoteAddress::Protocol::Rfc2217;

} // namespace

class TstSocketLink : public QObject
{
    Q_OBJECT

private slots:
    void addresses_data();
    void addresses();
    void decoding_data();
    void decoding();
    void exchangeThroughTelnet();
    void rawTimeoutThenHangUp();
    void refusals_data();
    void refusals();
    void busyForAMoment();
    void turnedAwayLate_data();
    void turnedAwayLate();
    void floods_data();
    void floods();
    void serverThatReadsNothing();
    void slowServer();
    void unconfirmedSettings_data();
    void unconfirmedSettings();
    void closedBetweenCommands();
    void servicedByAnEventLoop();
};

void TstSocketLink::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("url"); // empty: refused
    QTest::addColumn<QString>("error");

    const auto good = [](const char *text, const char *url) {
        QTest::newRow(text) << QString(text) << QString(url) << QString();
    };
    const auto bad = [](const char *text, const char *error) {
        QTest::newRow(text) << QString(text) << QString() << QString(error);
    };
    good("socket://lab7:4003", "socket://lab7:4003");
    good("RFC2217://10.0.0.7:4003", "rfc2217://10.0.0.7:4003");
    good("rfc2217://[::1]:4003", "rfc2217://[::1]:4003");
    good("socket://lab-7.example:04003", "socket://lab-7.example:4003");
    good("socket://[fe80::1%lo]:4003", "socket://[fe80::1%lo]:4003");
    good("rfc2217://[fe80::1%25eth0]:4003", "rfc2217://[fe80::1%eth0]:4003");
    bad("/dev/ttyUSB0", "");
    bad("dir/a://b", "");
    bad("tcp://lab7:4003", "unknown scheme tcp:// (use socket:// or rfc2217://)");
    bad("socket://lab7", "socket://lab7: no port");
    bad("socket://[::1]", "socket://[::1]: no port");
    bad("socket://:4003", "socket://:4003: no host");
    bad("socket://lab7:70000", "port 70000 is not 1 to 65535");
    bad("socket://lab7:0", "port 0 is not 1 to 65535");
    bad("socket://lab7:123456789012345678901", "port 123456789012345678901 is not 1 to 65535");
    bad("socket://lab7:http", "socket://lab7:http: port http is not a number");
    bad("socket://lab7:4003/x", "socket://lab7:4003/x: nothing may follow the port");
    bad("socket://me@lab7:4003", "socket://me@lab7:4003: a user name (user@) is not supported");
    bad("rfc2217://lab7:4003?timeout=2", "options after ? are not supported");
    bad("socket://::1:4003", "socket://::1:4003: an IPv6 address goes in brackets, as in "
                             "socket://[::1]:4003");
    bad("socket://[lab7]:4003", "socket://[lab7]:4003: lab7 is not an IPv6 address");
    bad("socket://[fe80::1%]:4003", "socket://[fe80::1%]:4003: no interface name after %");
    bad("socket://[fe80::1%a/b]:4003", "socket://[fe80::1%a/b]:4003: nothing may follow the port");
}

void TstSocketLink::addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, url);
    QFETCH(QString, error);

    std::string why = "untouched";
    const std::optional<RemoteAddress> address = RemoteAddress::parse(text.toStdString(), &why);
    QCOMPARE(address ? QString::fromStdString(address->url()) : QString(), url);
    QCOMPARE(QString::fromStdString(why), error);
    QCOMPARE(RemoteAddress::looksLikeUrl(text.toStdString()), !url.isEmpty() || !error.isEmpty());
}

void TstSocketLink::decoding_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<bool>("settled");

    QTest::newRow("confirmations settle")
        << Greeting + Confirmations << QByteArray() << GreetingAnswers << true;
    QTest::newRow("refused com-port option settles")
        << hex("FFFE2C") << QByteArray() << QByteArray() << true;
    QTest::newRow("IAC IAC in data and in a subnegotiation")
        << hex("41FFFF42 FFFA2C6500FFFF2580FFF0 FFFF") << hex("41FF42FF") << QByteArray() << false;
    QTest::newRow("notices between reply bytes")
        << hex("FFFF") + LineState + hex("FFFF") + ModemState + hex("FFFA2C70 01FFF0 00")
        << hex("FFFF00") << QByteArray() << false;
    QTest::newRow("unknown options refused once")
        << hex("FFFD18 FFFD18 FFFB1F FFFB1F") << QByteArray() << hex("FFFC18 FFFE1F") << false;
    QTest::newRow("only an option that was on is switched off")
        << Greeting + hex("FFFE00 FFFE00 FFFC03 FFFC03 FFFE18") << QByteArray()
        << GreetingAnswers + hex("FFFC00 FFFE03") << false;
    QTest::newRow("other commands skipped, CR NUL kept")
        << hex("0D00 FFF1 FFF6 FFF3 41 FFF2 FFF0 0A") << hex("0D00410A") << QByteArray() << false;
    QTest::newRow("overlong subnegotiation dropped whole")
        << hex("FFFA2C65") + QByteArray(100, 'x') + hex("FFF0 42") << hex("42") << QByteArray()
        << false;
    // A server that sends back what it gets: its WILL COM-PORT is refused, and its DONT to
    // that taken as a refusal of ours, unanswered. The settings it sends are no answers.
    QTest::newRow("own opening echoed")
        << QByteArray::fromStdString(Codec().opening()) + hex("FFFE2C") << QByteArray()
        << hex("FFFE2C") << true;
    // Switched off after it was on: never taken up again, so a server that keeps switching it
    // gets two answers in all.
    QTest::newRow("an option switched off stays off")
        << Greeting + hex("FFFC00 FFFB00 FFFC00 FFFB00 FFFC00") << QByteArray()
        << GreetingAnswers + hex("FFFE00 FFFE00") << false;
    QTest::newRow("unterminated subnegotiation ends at a command")
        << hex("FFFA2C6A00 FFFD18 43") << hex("43") << hex("FFFC18") << false;
}

void TstSocketLink::decoding()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answers);
    QFETCH(bool, settled);

    // Whole, then cut once at every place, then byte by byte: always the same outcome.
    for (qsizetype cut = -1; cut <= stream.size(); ++cut) {
        Codec codec;
        codec.opening();
        std::string gotData;
        std::string gotAnswers;
        if (cut < 0) {
            for (const char byte : stream)
                codec.feed(std::string_view(&byte, 1), gotData, gotAnswers);
        } else {
            codec.feed(bytes(stream.left(cut)), gotData, gotAnswers);
            codec.feed(bytes(stream.mid(cut)), gotData, gotAnswers);
        }
        QVERIFY2(gotData == bytes(data) && gotAnswers == bytes(answers) &&
                     codec.settled() == settled,
                 qPrintable(QString::number(cut)));
        QVERIFY(codec.serverSpokeTelnet());
    }
}

void TstSocketLink::exchangeThroughTelnet()
{
    ScriptedServer server;
    // A stale byte comes with the confirmations; the reply FF FF FF comes in pieces, with
    // notices between them, and never with a pair of IACs cut.
    server.start({{'>', Greeting},
                  {'<', hex("FFFA2C0501FFF0")},
                  {'>', Confirmations + hex("55")},
                  {'<', "abc"},
                  {'>', hex("FF")},
                  {'>', hex("FFFF")},
                  {'>', hex("FF") + LineState},
                  {'>', hex("FFFF") + ModemState}});
    SocketLink link(server.address(Rfc2217));
    QVERIFY(!link.open());
    QCOMPARE(qstr(link.device()), QStringLiteral("127.0.0.1:%1").arg(link.address().port));
    CommandSet commands(link);
    QCOMPARE(commands.sendWritePort(Port::A, 255), SendOutcome::Sent);
    const ReadPortsOutcome read = commands.readPorts();
    QCOMPARE(read.kind, ReadPortsOutcome::Kind::Inputs);
    QCOMPARE(read.inputs, (ReadPortsOutcome::PortInputs{0xFF, 0xFF, 0xFF}));
    link.close();

    // Binary both ways, the com-port option, 9600 (big-endian) 8N1 without flow control; the
    // greeting answered; 0xFF doubled; the stale byte dropped here and, with one purge, there.
    QCOMPARE(hexBytes(server.received()),
             hexBytes(hex("FFFB00 FFFD00 FFFB2C FFFA2C0100002580FFF0 FFFA2C0208FFF0 FFFA2C0301FFF0"
                          "FFFA2C0401FFF0 FFFA2C0501FFF0") +
                      GreetingAnswers + hex("41FFFF FFFA2C0C01FFF0") + "abc"));
}

void TstSocketLink::rawTimeoutThenHangUp()
{
    ScriptedServer server;
    server.start({{'<', "abc"}, {'>', hex("0102")}, {'<', "abcabc"}, {'>', hex("03")}, {'x', {}}});
    SocketLink link(server.address(Raw));
    int lost = 0;
    link.setLossHandler([&lost] { ++lost; });
    QVERIFY(!link.open());
    CommandSet commands(link);
    const ReadPortsOutcome late = commands.readPorts();
    QCOMPARE(late.kind, ReadPortsOutcome::Kind::Timeout);
    QCOMPARE(late.waiting, 2);
    // The two are dropped, not taken for part of the next reply; then the server hangs up.
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::PortLost);
    QCOMPARE(link.descriptor(), -1);
    QVERIFY(!link.output("abc"));
    QCOMPARE(lost, 1);
    QCOMPARE(qstr(link.lossText()),
             QStringLiteral("the connection to 127.0.0.1:%1 was closed").arg(link.address().port));
}

void TstSocketLink::refusals_data()
{
    QTest::addColumn<RemoteAddress::Protocol>("protocol");
    // What the server sends before it hangs up or waits; none: nothing listens.
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<OpenFailure>("failure");
    QTest::addColumn<QString>("text"); // %1: the port

    const QByteArray inUse = "Port already in use\r\n";
    const QString busy = QStringLiteral(
        "busy: another client holds 127.0.0.1:%1 (the server said: Port already in use)");
    QTest::newRow("nothing listens") << Raw << QByteArray() << false << OpenFailure::Unreachable
                                     << QStringLiteral("nothing listens on 127.0.0.1:%1");
    QTest::newRow("turned away, raw") << Raw << inUse << true << OpenFailure::InUse << busy;
    QTest::newRow("turned away, raw, still connected")
        << Raw << inUse << false << OpenFailure::InUse << busy;
    QTest::newRow("turned away, RFC 2217")
        << Rfc2217 << Greeting + inUse << true << OpenFailure::InUse << busy;
    QTest::newRow("another service")
        << Raw << QByteArray("HTTP/1.1 400 Bad Request\r\n\r\n") << true << OpenFailure::Unreachable
        << QStringLiteral("127.0.0.1:%1 closed the connection at once, saying: HTTP/1.1 400 Bad "
                          "Request (is it a serial server's port?)");
    QTest::newRow("telnet port reached raw")
        << Raw << Greeting << false << OpenFailure::Unreachable
        << QStringLiteral("127.0.0.1:%1 speaks telnet (RFC 2217): use rfc2217://");
    QTest::newRow("telnet port reached raw, one request")
        << Raw << hex("FFFD2C") << false << OpenFailure::Unreachable
        << QStringLiteral("127.0.0.1:%1 speaks telnet (RFC 2217): use rfc2217://");
    QTest::newRow("never confirms")
        << Rfc2217 << Greeting << false << OpenFailure::Unreachable
        << QStringLiteral("127.0.0.1:%1 did not confirm the line settings within 3 s (is it an "
                          "RFC 2217 port? socket:// is for raw ones)");
    QTest::newRow("interrupted while waiting")
        << Rfc2217 << Greeting << false << OpenFailure::Other
        << QStringLiteral("rfc2217://127.0.0.1:%1 could not be opened: interrupted");
}

void TstSocketLink::refusals()
{
    QFETCH(RemoteAddress::Protocol, protocol);
    QFETCH(QByteArray, sent);
    QFETCH(bool, hangUp);
    QFETCH(OpenFailure, failure);
    QFETCH(QString, text);

    // A server slower to turn us away than a raw link waits (a machine busy with other tests)
    // is one that let us in; enough tries make that unlikely even under sanitizers.
    for (int attempt = 1;; ++attempt) {
        quint16 port = ScriptedServer().address(protocol).port; // bound and gone again: free
        ScriptedServer server;
        if (!sent.isEmpty()) {
            ScriptedServer::Script script{{'>', sent}};
            // A server that turns clients away does so to every one of them.
            if (hangUp)
                script << std::pair('x', QByteArray());
            server.start(script, hangUp || failure == OpenFailure::InUse ? -1 : 1);
            port = server.address(protocol).port;
        }
        SocketLink link({protocol, "127.0.0.1", port});
        QElapsedTimer clock;
        clock.start();
        if (failure == OpenFailure::Other) // interrupted, from 200 ms on
            link.setInterruptCheck([&clock] { return clock.elapsed() > 200; });
        const std::optional<OpenRefusal> refusal = link.open();
        if (!refusal && protocol == Raw && attempt < 25)
            continue;
        QVERIFY(refusal);
        QCOMPARE(refusal->failure, failure);
        QCOMPARE(qstr(refusal->text()), text.arg(port));
        QCOMPARE(link.state(), LinkState::Closed);
        // An RFC 2217 server's greeting is answered while the link waits; a telnet server
        // reached raw gets nothing at all.
        if (!sent.isEmpty() && !hangUp && protocol == Rfc2217)
            QVERIFY(server.received().endsWith(GreetingAnswers));
        if (!sent.isEmpty() && !hangUp && protocol == Raw)
            QCOMPARE(server.received(), QByteArray());
        return;
    }
}

// A server still closing the board for the client before us is asked again.
void TstSocketLink::busyForAMoment()
{
    ScriptedServer server;
    server.start({{'>', "Port already in use\r\n"}, {'x', {}}});
    SocketLink link(server.address(Raw));
    const std::optional<OpenRefusal> refusal = link.open();
    QVERIFY2(!refusal, refusal ? refusal->text().c_str() : "");
}

// Through a tunnel that accepts at once, the server's first words come after our commands:
// they still refuse the link, and nothing went to the board.
void TstSocketLink::turnedAwayLate_data()
{
    QTest::addColumn<QByteArray>("words");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<OpenFailure>("failure");
    QTest::addColumn<QString>("text"); // %1: the port

    QTest::newRow("busy") << QByteArray("Port already in use\r\n") << true << OpenFailure::InUse
                          << QStringLiteral("busy: another client holds 127.0.0.1:%1 (the server "
                                            "said: Port already in use)");
    QTest::newRow("busy, still connected")
        << QByteArray("Port already in use\r\n") << false << OpenFailure::InUse
        << QStringLiteral("busy: another client holds 127.0.0.1:%1 (the server said: Port "
                          "already in use)");
    QTest::newRow("telnet") << Greeting << false << OpenFailure::Unreachable
                            << QStringLiteral("127.0.0.1:%1 speaks telnet (RFC 2217): use "
                                              "rfc2217://");
}

void TstSocketLink::turnedAwayLate()
{
    QFETCH(QByteArray, words);
    QFETCH(bool, hangUp);
    QFETCH(OpenFailure, failure);
    QFETCH(QString, text);

    ScriptedServer server;
    ScriptedServer::Script script{{'d', "100"}, {'<', "abc"}, {'>', words}};
    if (hangUp)
        script << std::pair('x', QByteArray());
    server.start(script);
    SocketLink link(server.address(Raw));
    QVERIFY(!link.open());
    CommandSet commands(link);
    QCOMPARE(commands.sendWritePort(Port::A, 0x12), SendOutcome::Sent);
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::PortLost);
    QVERIFY(link.lateRefusal());
    QCOMPARE(link.lateRefusal()->failure, failure);
    QCOMPARE(qstr(link.lateRefusal()->text()), text.arg(link.address().port));
    link.close();
    QCOMPARE(server.received(), QByteArray("A\x12"
                                           "abc"));
}

// A server that floods us and reads nothing: every read still ends at its deadline, and what
// we answer stays bounded.
void TstSocketLink::floods_data()
{
    QTest::addColumn<QByteArray>("flood");
    QTest::newRow("telnet NOPs") << hex("FFF1");
    QTest::newRow("option switched off and on") << hex("FFFC00 FFFB00");
}

void TstSocketLink::floods()
{
    QFETCH(QByteArray, flood);
    ScriptedServer server;
    server.start(
        {{'>', Greeting}, {'<', hex("FFFA2C0501FFF0")}, {'>', Confirmations}, {'f', flood}});
    SocketLink link(server.address(Rfc2217));
    QVERIFY(!link.open());
    CommandSet commands(link);
    QElapsedTimer clock;
    clock.start();
    for (int read = 0; read < 3; ++read)
        QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::Timeout);
    // Three deadlines, with room for a loaded machine; the flood itself lasts until we go.
    QVERIFY2(clock.elapsed() < 10 * CommandSet::ReplyDeadlineMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(link.state(), LinkState::Open);
    link.close();
    const qsizetype answered = server.received().size();
    QVERIFY2(answered < 256, qPrintable(QString::number(answered)));
}

void TstSocketLink::serverThatReadsNothing()
{
    ScriptedServer server;
    server.start({{'f', {}}});
    SocketLink link(server.address(Raw));
    link.setInterruptCheck([] { return false; }); // wait for room, as zarvex does
    QVERIFY(!link.open());
    const std::string chunk(64 * 1024, 'A');
    int chunks = 0;
    while (link.output(chunk))
        QVERIFY(++chunks < 10000);
    QCOMPARE(link.state(), LinkState::Lost);
    QCOMPARE(qstr(link.lossText()), QStringLiteral("127.0.0.1:%1 took nothing we sent for 5 s: the "
                                                   "connection counts as lost")
                                        .arg(link.address().port));
}

// A reply later than the board's deadline by less than the round trip measured while opening
// is the board's answer, not a timeout.
void TstSocketLink::slowServer()
{
    ScriptedServer server;
    server.start({{'>', Greeting},
                  {'<', hex("FFFA2C0501FFF0")},
                  {'d', "300"},
                  {'>', Confirmations},
                  {'<', "abc"},
                  {'d', "550"},
                  {'>', hex("010203")}});
    SocketLink link(server.address(Rfc2217));
    QVERIFY(!link.open());
    const std::optional<NetworkFacts> network = link.network();
    QVERIFY(network && network->telnet);
    QVERIFY2(network->roundTripMs >= 300, qPrintable(QString::number(network->roundTripMs)));
    QCOMPARE(qstr(network->settingsProblem), QString());
    CommandSet commands(link);
    commands.setTransitAllowanceMs(network->roundTripMs);
    const ReadPortsOutcome read = commands.readPorts();
    QCOMPARE(read.kind, ReadPortsOutcome::Kind::Inputs);
    QCOMPARE(read.inputs, (ReadPortsOutcome::PortInputs{1, 2, 3}));
}

// A plain telnet server keeps its own line settings, and a server may answer with others than
// those asked for: usable, but not confirmed, and said.
void TstSocketLink::unconfirmedSettings_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("problem"); // %1: the port

    QTest::newRow("com-port option refused")
        << hex("FFFE2C")
        << QStringLiteral("127.0.0.1:%1 refused the com-port option: the line settings are the "
                          "server's own, not confirmed as 9600 8N1");
    QByteArray other = Confirmations;
    other.replace(hex("00002580"), hex("000012C0")).replace(hex("6608"), hex("6607"));
    other.replace(hex("6801"), hex("6802"));
    QTest::newRow("other values")
        << other
        << QStringLiteral("127.0.0.1:%1 set the line to 4800 baud, 7 data bits, stop bits 2, not "
                          "9600 8N1 as asked");
}

void TstSocketLink::unconfirmedSettings()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, problem);
    ScriptedServer server;
    server.start({{'>', hex("FFFB03 FFFD03")},
                  {'<', hex("FFFA2C0501FFF0")},
                  {'>', answer},
                  {'<', "abc"},
                  {'>', hex("FFFF0102")}});
    SocketLink link(server.address(Rfc2217));
    QVERIFY(!link.open());
    QCOMPARE(qstr(link.network()->settingsProblem), problem.arg(link.address().port));
    CommandSet commands(link);
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::Inputs);
}

// The server went after the last exchange: the next command finds that out, instead of going
// into a connection nobody reads.
void TstSocketLink::closedBetweenCommands()
{
    ScriptedServer server;
    server.start({{'<', "abc"}, {'>', hex("010203")}, {'x', {}}});
    SocketLink link(server.address(Raw));
    QVERIFY(!link.open());
    CommandSet commands(link);
    QCOMPARE(commands.readPorts().kind, ReadPortsOutcome::Kind::Inputs);
    pollfd ended{link.descriptor(), POLLRDHUP, 0};
    QCOMPARE(::poll(&ended, 1, 5000), 1);
    QCOMPARE(commands.sendWritePort(Port::A, 1), SendOutcome::PortLost);
    QCOMPARE(qstr(link.lossText()),
             QStringLiteral("the connection to 127.0.0.1:%1 was closed").arg(link.address().port));
}

// An owner that only waits on descriptor() and calls service(): the server's telnet requests
// are answered, and its hanging up noticed, while nobody reads or sends.
void TstSocketLink::servicedByAnEventLoop()
{
    ScriptedServer server;
    server.start({{'>', Greeting},
                  {'<', hex("FFFA2C0501FFF0")},
                  {'>', Confirmations},
                  {'>', hex("FFFD18")},
                  {'<', hex("FFFC18")},
                  {'x', {}}});
    SocketLink link(server.address(Rfc2217));
    int lost = 0;
    link.setLossHandler([&lost] { ++lost; });
    QVERIFY(!link.open());
    while (link.state() == LinkState::Open) {
        QVERIFY(link.wantsRead());
        pollfd socket{link.descriptor(), short(POLLIN | (link.hasUnsent() ? POLLOUT : 0)), 0};
        QCOMPARE(::poll(&socket, 1, 5000), 1);
        link.service();
    }
    QCOMPARE(lost, 1);
    QCOMPARE(link.descriptor(), -1);
    QCOMPARE(qstr(link.lossText()),
             QStringLiteral("the connection to 127.0.0.1:%1 was closed").arg(link.address().port));
    QVERIFY(server.received().endsWith(GreetingAnswers + hex("FFFC18")));
}

QTEST_GUILESS_MAIN(TstSocketLink)
#include "tst_socketlink.moc"
