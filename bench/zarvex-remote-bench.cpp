// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Figures of a board served by ser2net on this machine (loopback, chardelay off), each beside
// a floor or a neighbour taken in the same run: the read-ports exchange over rfc2217:// through
// SocketLink and CommandSet, beside pyserial's rfc2217:// client and a raw socket round trip;
// opening and negotiating, beside pyserial's open; `zarvex batch` reads per second over
// socket://, beside raw socket round trips. Prints a markdown table. Exits non-zero only when
// a measurement could not be made.
#include "benchsupport.h"
#include "device/commandset.h"
#include "device/socketlink.h"
#include "qtptyboard.h"
#include "ser2netserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QThread>

#include <array>
#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

constexpr double ExchangeRatioLimit = 1.2;
constexpr double OpenLimitMs = 10;
constexpr double BatchRatioFloor = 0.8;
constexpr int ReplyTimeoutMs = 1000;
constexpr int ChildTimeoutMs = 10000;
// ser2net closes the device a moment after a client leaves, and turns away a client that
// comes before that.
constexpr int ReconnectPauseMs = 50;

// Debian's interpreter, where python3-serial lives; the first python3 in PATH may be
// another one.
const QByteArray Python = QByteArrayLiteral("/usr/bin/python3");

// pyserial's client, driven line by line from stdin: "open" (re)opens the port and prints the
// time the open took; "N HEX" does N exchanges of "abc" and 3 bytes, each checked against
// HEX, and prints their times; all in ns, on one line. ign_set_control: ser2net does not
// confirm modem line changes on a device without them (`local`), and pyserial would
// otherwise wait 3 s for that and fail.
const QByteArray PyserialClient = QByteArrayLiteral(R"(
import serial, sys, time
url = sys.argv[1] + "?ign_set_control"
port = None
for line in sys.stdin:
    words = line.split()
    if words[0] == "open":
        if port:
            port.close()
        start = time.monotonic_ns()
        port = serial.serial_for_url(url, baudrate=9600, timeout=1)
        times = [time.monotonic_ns() - start]
    else:
        expected = bytes.fromhex(words[1])
        times = []
        for _ in range(int(words[0])):
            start = time.monotonic_ns()
            port.write(b"abc")
            if port.read(3) != expected:
                sys.exit("pyserial: wrong or missing reply")
            times.append(time.monotonic_ns() - start)
    print(*times, flush=True)
)");

struct Options
{
    int exchanges = 500;
    int rounds = 5;
    int opens = 10;
    int batchReads = 2000;
};

QString micro(double ns)
{
    return usText(ns / 1e3, 1);
}

QString milli(double ns)
{
    return msText(ns / 1e6, 2);
}

QByteArray replyBytes(const PtyBoard &board)
{
    const BoardReading reading = expectedReply(board);
    return QByteArray(reinterpret_cast<const char *>(reading.data()), qsizetype(reading.size()));
}

// One emulator behind one ser2net, as a pty is never shared between two kinds of client.
struct ServedBoard
{
    QtPtyBoard board;
    Ser2netServer server;
};

class Bench : public BenchRun
{
public:
    explicit Bench(const Options &options) : BenchRun("zarvex-remote-bench"), m_options(options) {}

    void print() const override;

protected:
    bool measure() override;

private:
    bool serve(ServedBoard &served, Ser2netServer::Mode mode);
    bool startPyserial(const ServedBoard &served);
    // Sends one command line to pyserial and adds the times it printed.
    bool askPyserial(const QByteArray &command, std::vector<double> *times);
    bool measureExchange();
    bool measureOpen();
    bool measureBatch();
    bool floorRoundTrips(int count, std::vector<double> *times);

    Options m_options;
    const QByteArray m_zarvex = QByteArrayLiteral(ZARVEX_PROGRAM);
    ServedBoard m_floor;     // raw, for the in-process floor
    ServedBoard m_linked;    // rfc2217, for SocketLink in-process
    ServedBoard m_python;    // rfc2217, for pyserial
    ServedBoard m_batch;     // raw, for zarvex batch
    RawClient m_floorClient; // the least a program does: its raw port, plain POSIX calls
    ChildProcess m_pyserial;
    qsizetype m_pyserialTaken = 0;
};

bool Bench::serve(ServedBoard &served, Ser2netServer::Mode mode)
{
    setPattern(served.board, patternFor(0));
    QString error;
    if (!startBoard(served.board))
        return false;
    return served.server.start(served.board.devicePath(), mode, &error) ||
           giveUp(QStringLiteral("ser2net: ") + error);
}

bool Bench::startPyserial(const ServedBoard &served)
{
    QString error;
    if (!m_pyserial.start({Python, "-c", PyserialClient, served.server.url().toLatin1()}, true,
                          &error))
        return giveUp(QStringLiteral("pyserial: ") + error);
    return true;
}

bool Bench::askPyserial(const QByteArray &command, std::vector<double> *times)
{
    QByteArray pending = command + '\n';
    const qsizetype lines = m_pyserial.lines() + 1;
    while (m_pyserial.lines() < lines && m_pyserial.pump(&pending, ChildTimeoutMs)) {
    }
    const QByteArray &output = m_pyserial.output();
    const qsizetype end = output.indexOf('\n', m_pyserialTaken);
    if (m_pyserial.lines() < lines || end < 0)
        return giveUp(QStringLiteral("pyserial gave no answer to \"%1\" (is python3-serial "
                                     "installed for %2?)")
                          .arg(QString::fromLatin1(command), QString::fromLatin1(Python)));
    for (const QByteArray &word : output.mid(m_pyserialTaken, end - m_pyserialTaken).split(' '))
        times->push_back(word.toDouble());
    m_pyserialTaken = end + 1;
    return true;
}

bool Bench::floorRoundTrips(int count, std::vector<double> *times)
{
    const QByteArray expected = replyBytes(m_floor.board);
    for (int i = 0; i < count; ++i) {
        const qint64 start = monotonicNs();
        if (m_floorClient.roundTrip(CommandSet::ReadPortsCommand, 3, ReplyTimeoutMs) != expected)
            return giveUp(QStringLiteral("a raw socket round trip's reply was missing or wrong"));
        times->push_back(double(monotonicNs() - start));
    }
    return true;
}

bool Bench::measure()
{
    using Mode = Ser2netServer::Mode;
    if (!Ser2netServer::available())
        return giveUp(QStringLiteral("ser2net is not installed (apt install ser2net)"));
    if (!serve(m_floor, Mode::Raw) || !serve(m_linked, Mode::Rfc2217) ||
        !serve(m_python, Mode::Rfc2217) || !serve(m_batch, Mode::Raw))
        return false;
    if (QString error; !m_floorClient.connectLoopback(m_floor.server.port(), &error))
        return giveUp(QStringLiteral("cannot connect to ser2net's raw port: ") + error);
    std::vector<double> unused;
    if (!startPyserial(m_python) || !askPyserial("open", &unused))
        return false;
    return measureExchange() && measureOpen() && measureBatch();
}

bool Bench::measureExchange()
{
    progress("read-ports exchange: SocketLink, pyserial, raw socket");
    // Over rfc2217:// the figure; over socket://, what SocketLink itself adds to the floor.
    struct Client
    {
        ServedBoard &served;
        std::unique_ptr<SocketLink> link;
        std::vector<double> ns;
    };
    std::array<Client, 2> clients{{{m_linked, nullptr, {}}, {m_batch, nullptr, {}}}};
    for (Client &client : clients) {
        const auto address =
            RemoteAddress::parse(client.served.server.url().toStdString(), nullptr);
        client.link = std::make_unique<SocketLink>(*address);
        if (const auto refusal = client.link->open())
            return giveUp(QStringLiteral("SocketLink did not open %1: %2")
                              .arg(QString::fromStdString(address->url()),
                                   QString::fromStdString(refusal->detail)));
    }
    std::vector<double> pyserialNs;
    std::vector<double> floorNs;
    for (int round = 0; round < m_options.rounds; ++round) {
        for (ServedBoard *served : {&m_floor, &m_linked, &m_python, &m_batch})
            setPattern(served->board, patternFor(round));
        const auto linkRun = [&](Client &client) {
            CommandSet commands(*client.link);
            const BoardReading expected = expectedReply(client.served.board);
            for (int i = 0; i < m_options.exchanges; ++i) {
                const qint64 start = monotonicNs();
                const ReadPortsOutcome outcome = commands.readPorts();
                client.ns.push_back(double(monotonicNs() - start));
                if (!outcome.answered() || outcome.inputs != expected)
                    return giveUp(
                        QStringLiteral("a SocketLink exchange's reply was missing or wrong"));
            }
            return true;
        };
        const std::array<std::function<bool()>, 4> runs{
            [&] { return linkRun(clients[0]); }, [&] { return linkRun(clients[1]); },
            [&] {
                return askPyserial(QByteArray::number(m_options.exchanges) + ' ' +
                                       replyBytes(m_python.board).toHex(),
                                   &pyserialNs);
            },
            [&] { return floorRoundTrips(m_options.exchanges, &floorNs); }};
        // Each goes first in turn, so none always finds the caches as another left them.
        for (size_t i = 0; i < runs.size(); ++i) {
            if (!runs[(i + size_t(round)) % runs.size()]())
                return false;
        }
    }
    for (Client &client : clients)
        client.link->close();
    // The batches connect to the raw port again.
    QThread::msleep(ReconnectPauseMs);

    const double floor = median(floorNs);
    const double pyserial = median(pyserialNs);
    const double zarvex = median(clients[0].ns);
    const double raw = median(clients[1].ns);
    const double limit = qMin(pyserial, ExchangeRatioLimit * floor);
    const QString reps = QStringLiteral("%1 x %2").arg(m_options.rounds).arg(m_options.exchanges);
    const auto ofFloor = [&](double ns) {
        return micro(ns) + QStringLiteral(" (%1 x floor)").arg(decimal(ns / floor, 2));
    };
    addRow({QStringLiteral("Floor: raw socket round trip through ser2net (socket://), "
                           "in-process POSIX client: \"abc\" out, 3 bytes back"),
            micro(floor), QStringLiteral("(floor)"), QStringLiteral("-"), reps});
    addRow({QStringLiteral("pyserial rfc2217:// client: write \"abc\", read(3), in %1")
                .arg(QString::fromLatin1(Python)),
            ofFloor(pyserial), QStringLiteral("(neighbour)"), QStringLiteral("-"), reps});
    addRow({QStringLiteral("`CommandSet::readPorts()` over `SocketLink`, rfc2217://"),
            ofFloor(zarvex),
            QStringLiteral("pyserial and %1 x floor: %2").arg(ExchangeRatioLimit).arg(micro(limit)),
            verdict(zarvex <= limit), reps});
    addRow({QStringLiteral("Of that, SocketLink's own share: the same over socket://"),
            ofFloor(raw), QStringLiteral("-"), QStringLiteral("-"), reps});
    return true;
}

bool Bench::measureOpen()
{
    progress("open and negotiate over rfc2217: SocketLink, pyserial");
    const std::optional<RemoteAddress> address =
        RemoteAddress::parse(m_linked.server.url().toStdString(), nullptr);
    std::vector<double> zarvexNs;
    std::vector<double> pyserialNs;
    for (int rep = 0; rep < m_options.opens; ++rep) {
        SocketLink link(*address);
        const qint64 start = monotonicNs();
        if (const auto refusal = link.open())
            return giveUp(QStringLiteral("SocketLink did not open %1: %2")
                              .arg(QString::fromStdString(address->url()),
                                   QString::fromStdString(refusal->detail)));
        zarvexNs.push_back(double(monotonicNs() - start));
        link.close();
        QThread::msleep(ReconnectPauseMs);
        if (!askPyserial("open", &pyserialNs))
            return false;
    }
    const double zarvex = median(zarvexNs);
    const QString reps = QString::number(m_options.opens);
    addRow({QStringLiteral("pyserial `serial_for_url()`, rfc2217://, connect and negotiate"),
            milli(median(pyserialNs)), QStringLiteral("(neighbour)"), QStringLiteral("-"), reps});
    addRow({QStringLiteral("`SocketLink::open()`, rfc2217://, connect and negotiate"),
            milli(zarvex), QStringLiteral("%1 ms").arg(OpenLimitMs),
            verdict(zarvex < OpenLimitMs * 1e6), reps});
    return true;
}

bool Bench::measureBatch()
{
    progress("zarvex batch reads per second over socket://, raw socket round trips");
    const int reads = m_options.batchReads;
    const QByteArray url = m_batch.server.url().toLatin1();
    const auto measureBatchRun = [&](double *perSecond) {
        const BoardReading reading = expectedReply(m_batch.board);
        const QByteArray replyLine =
            QString::asprintf("ok A=0x%02X B=0x%02X C=0x%02X\n", reading[0], reading[1], reading[2])
                .toLatin1();
        if (!timeBatchReads({m_zarvex, "-d", url, "batch"}, reads, replyLine, perSecond))
            return false;
        // The next batch connects again.
        QThread::msleep(ReconnectPauseMs);
        return true;
    };
    const auto measureFloor = [&](double *perSecond) {
        std::vector<double> times;
        const qint64 start = monotonicNs();
        if (!floorRoundTrips(reads, &times))
            return false;
        *perSecond = reads / (double(monotonicNs() - start) / 1e9);
        return true;
    };

    return compareRates(
        m_options.rounds, measureBatchRun, measureFloor,
        [&](int round) { setPattern(m_batch.board, patternFor(round)); },
        QStringLiteral("`zarvex -d socket://… batch` reads per second, first line written to last "
                       "reply read"),
        QStringLiteral("Floor: raw socket round trips per second through ser2net (socket://), "
                       "in-process POSIX client"),
        BatchRatioFloor, QStringLiteral("%1 x %2").arg(m_options.rounds).arg(reads));
}

void Bench::print() const
{
    QProcess version;
    version.start(Ser2netServer::program(), {QStringLiteral("-v")});
    version.waitForFinished(5000);
    const QString ser2net = QString::fromLocal8Bit(version.readAll()).trimmed();
    printReport("zarvex over ser2net benchmarks", QString(), "this benchmark and its children",
                {QStringLiteral("Each client has an emulator of its own (on a thread of this "
                                "benchmark) behind a ser2net of its own on 127.0.0.1, "
                                "chardelay off: %1.")
                     .arg(ser2net),
                 QStringLiteral("pyserial opens with ?ign_set_control: ser2net does not confirm "
                                "modem line changes on a device without them.")});
}

} // namespace

int main(int argc, char *argv[])
{
    // A child that ended early must fail the measurement, not kill the benchmark.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Options options;
    BenchOptions parser(QStringLiteral(
        "Measures zarvex against the board emulator behind ser2net on this machine, beside "
        "pyserial and raw sockets, and prints a markdown table of medians beside their floors "
        "and limits."));
    parser.addCount(QStringLiteral("exchanges"),
                    QStringLiteral("Exchanges of each client in each round"), QStringLiteral("n"),
                    &options.exchanges);
    parser.addCount(QStringLiteral("rounds"),
                    QStringLiteral("Rounds of exchanges, and of batches, each client in turn"),
                    QStringLiteral("n"), &options.rounds);
    parser.addCount(QStringLiteral("opens"), QStringLiteral("Opens of each client"),
                    QStringLiteral("n"), &options.opens);
    parser.addCount(QStringLiteral("batch-reads"), QStringLiteral("`read` lines in each batch"),
                    QStringLiteral("n"), &options.batchReads);
    return runBench<Bench>(app, parser, options);
}
