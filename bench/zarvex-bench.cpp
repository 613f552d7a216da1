// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Latency, CPU, start-up and memory figures of the utility, each beside the limit it is held
// to, measured against the board emulator on real pseudo-terminals. Prints a markdown table.
// Exits non-zero only when a measurement could not be made (wrong bytes, a reply missing).
#include "benchsupport.h"
#include "device/commandset.h"
#include "device/porttarget.h"
#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "qtptyboard.h"
#include "session/session.h"
#include "startupprobe.h"
#include "window/iotestwindow.h"
#include "window/statustext.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <climits>
#include <cstdio>
#include <thread>

namespace {

constexpr char StartupChildOption[] = "--startup-child";

constexpr double ExchangeRatioLimit = 1.1;
constexpr double ClickLimitMs = 1;
constexpr double TimedOutCpuLimitMs = 4;
constexpr double StartLimitMs = 300;
constexpr double PeakLimitMB = 60; // 10^6 bytes
constexpr int StartupChildTimeoutMs = 30000;

struct Options
{
    int reps = 1000;
    int clickReps = 300;
    int timeoutReps = 10;
    int startReps = 20;
    int pollSeconds = 60;
};

using PortInputs = CommandSet::PortInputs;

// Every port number names device.
LinkOptions fixedDevice(const QString &device)
{
    return {[path = device.toStdString()](int) { return path; }};
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class Bench : public BenchRun
{
public:
    explicit Bench(const Options &options) : BenchRun("zarvex-bench"), m_options(options) {}

    void print() const override;

protected:
    bool measure() override;

private:
    bool measureDeviceLayer();
    bool measureWindow();
    bool measureClicks(IoTestWindow &window, QtPtyBoard &board, ArrivalClock &arrivals);
    bool measureContinuousPoll(IoTestWindow &window, QtPtyBoard &board);
    bool measureStartup();
    bool startChild(const QString &device, double *startMs, double *peakMB);
    void addClickRow(const QString &figure, const std::vector<double> &ms);

    Options m_options;
};

bool Bench::measure()
{
    return measureDeviceLayer() && measureWindow() && measureStartup();
}

bool Bench::measureDeviceLayer()
{
    progress("read-ports exchange and its floor");
    // One emulator each, so the raw client and the serial link never share a pty.
    QtPtyBoard floorBoard;
    QtPtyBoard linkBoard;
    if (!startBoard(floorBoard) || !startBoard(linkBoard))
        return false;

    RawClient raw;
    QString error;
    if (!raw.open(floorBoard.devicePath(), &error))
        return giveUp(QStringLiteral("raw pty client: ") + error);
    const std::unique_ptr<SerialLink> link =
        makeLink(PortTarget::fromNumber(1), fixedDevice(linkBoard.devicePath()));
    if (link->open())
        return giveUp(QStringLiteral("the serial link did not open ") + linkBoard.devicePath());
    CommandSet commands(*link);

    const QByteArray request(CommandSet::ReadPortsCommand);
    std::vector<double> floorUs;
    std::vector<double> exchangeUs;
    constexpr int warmUp = 50;
    for (int rep = -warmUp; rep < m_options.reps; ++rep) {
        const PortInputs pattern = patternFor(rep);
        setPattern(floorBoard, pattern);
        setPattern(linkBoard, pattern);
        const QByteArray expected(reinterpret_cast<const char *>(pattern.data()), 3);

        double floor = 0;
        double exchange = 0;
        const auto measureFloor = [&] {
            const qint64 start = monotonicNs();
            const QByteArray reply = raw.roundTrip(request, 3, 1000);
            floor = double(monotonicNs() - start) / 1e3;
            return reply == expected;
        };
        const auto measureExchange = [&] {
            const qint64 start = monotonicNs();
            const ReadPortsOutcome reply = commands.readPorts();
            exchange = double(monotonicNs() - start) / 1e3;
            return reply.answered() && reply.inputs == pattern;
        };
        // Alternating which goes first, so neither always finds the caches warmed by the other.
        const bool ok =
            rep % 2 ? measureFloor() && measureExchange() : measureExchange() && measureFloor();
        if (!ok)
            return giveUp(QStringLiteral("a read-ports reply was missing or wrong"));
        if (rep >= 0) {
            floorUs.push_back(floor);
            exchangeUs.push_back(exchange);
        }
    }

    const double floorMedian = median(floorUs);
    const double exchangeMedian = median(exchangeUs);
    const QString reps = QString::number(m_options.reps);
    addRow({QStringLiteral("Floor: 3 bytes out and 3 back over a pty, raw POSIX client"),
            usText(floorMedian, 1), QStringLiteral("(floor)"), QStringLiteral("-"), reps});
    addRow({QStringLiteral("Read-ports exchange: CommandSet::readPorts over TermiosLink"),
            usText(exchangeMedian, 1),
            QStringLiteral("%1 x floor = %2 µs")
                .arg(ExchangeRatioLimit)
                .arg(decimal(floorMedian * ExchangeRatioLimit, 1)),
            verdict(exchangeMedian <= floorMedian * ExchangeRatioLimit), reps});

    progress("timed-out read-ports exchanges");
    linkBoard.setReplyMode(PtyBoard::ReplyMode::Silent);
    std::vector<double> cpuMs;
    std::vector<double> wallMs;
    for (int rep = 0; rep < m_options.timeoutReps; ++rep) {
        const qint64 cpu = processCpuNs();
        const qint64 wall = monotonicNs();
        const bool answered = commands.readPorts().answered();
        cpuMs.push_back(double(processCpuNs() - cpu) / 1e6);
        wallMs.push_back(double(monotonicNs() - wall) / 1e6);
        if (answered || wallMs.back() < CommandSet::ReplyDeadlineMs)
            return giveUp(QStringLiteral("an exchange with a silent board did not time out"));
    }
    const double cpuMedian = median(cpuMs);
    addRow({QStringLiteral("CPU of the process per timed-out exchange (wall %1 ms)")
                .arg(decimal(median(wallMs), 1)),
            msText(cpuMedian, 3),
            QStringLiteral("%1 ms (a spinning wait: %2 ms)")
                .arg(TimedOutCpuLimitMs)
                .arg(CommandSet::ReplyDeadlineMs),
            verdict(cpuMedian < TimedOutCpuLimitMs), QString::number(m_options.timeoutReps)});
    return true;
}

bool Bench::measureWindow()
{
    QtPtyBoard board;
    if (!startBoard(board))
        return false;
    ArrivalClock arrivals(board);

    IoTestWindow window(fixedDevice(board.devicePath()));
    window.show();
    const qint64 until = monotonicNs() + qint64(5) * 1000000000;
    while (!(window.windowHandle() && window.windowHandle()->isExposed())) {
        if (monotonicNs() > until)
            return giveUp(QStringLiteral("the window was never exposed"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    static const QByteArray resetCommands = QByteArray::fromHex("2141FF2142FF2143FF410042004300");
    arrivals.arm(6);
    click(window.control(QStringLiteral("Connect")));
    if (!arrivals.wait(2000) || board.received() != resetCommands)
        return giveUp(QStringLiteral("Connect did not send the reset commands"));
    board.clearReceived();

    return measureClicks(window, board, arrivals) && measureContinuousPoll(window, board);
}

void Bench::addClickRow(const QString &figure, const std::vector<double> &ms)
{
    const double value = median(ms);
    addRow({figure, msText(value, 3), QStringLiteral("%1 ms").arg(ClickLimitMs),
            verdict(value < ClickLimitMs), QString::number(ms.size())});
}

bool Bench::measureClicks(IoTestWindow &window, QtPtyBoard &board, ArrivalClock &arrivals)
{
    constexpr int warmUp = 20;
    const int reps = m_options.clickReps;
    const AllPorts &ports = window.ports();

    progress("Poll Once");
    std::vector<double> pollMs;
    QWidget *pollNow = window.control(QStringLiteral("PollNow"));
    for (int rep = -warmUp; rep < reps; ++rep) {
        setPattern(board, patternFor(rep));
        const PortInputs expected = expectedReply(board);
        QCoreApplication::processEvents(); // paints and the like belong to no click
        const qint64 start = monotonicNs();
        click(pollNow);
        const qint64 end = monotonicNs();
        for (int p = 0; p < 3; ++p) {
            if (ports[p].readHex->text() != HexText(expected[p]) ||
                ports[p].readDec->text() != DecimalText(expected[p]))
                return giveUp(QStringLiteral("Poll Once did not show the board's inputs"));
        }
        if (rep >= 0)
            pollMs.push_back(double(end - start) / 1e6);
    }
    addClickRow(QStringLiteral("Poll Once: click to the six read boxes written"), pollMs);

    progress("direction-bit clicks");
    std::vector<double> bitMs;
    quint8 direction = 0xFF;
    for (int rep = -warmUp; rep < reps; ++rep) {
        const int line = (rep + warmUp) % 8;
        direction ^= quint8(1 << line);
        const char command[] = {'!', 'A', char(direction)};
        const QByteArray expected = QByteArray(command, 3).repeated(3);
        QCoreApplication::processEvents();
        board.clearReceived();
        arrivals.arm(3);
        const qint64 start = monotonicNs();
        click(ports[0].directionBits[line]);
        if (!arrivals.wait(2000) || board.received() != expected)
            return giveUp(QStringLiteral("a direction-bit click did not send its three commands"));
        if (rep >= 0)
            bitMs.push_back(double(arrivals.arrivedNs() - start) / 1e6);
    }
    addClickRow(QStringLiteral("Direction-bit click to its 3 commands at the board"), bitMs);

    progress("Reset All");
    static const QByteArray resetAllEdited = QByteArray::fromHex(
        "2141FF2142FF2143FF410042004300"         // the six of the reset itself
        "410041004200420043004300"               // then two for each edited write value
        "2141FF2141FF2142FF2142FF2143FF2143FF"); // and each edited direction value
    std::vector<double> resetMs;
    QWidget *resetAll = window.control(QStringLiteral("ResetTamsk"));
    const auto commandsWhenQuiet = [&arrivals] {
        int seen = -1;
        while (seen != arrivals.arrivedCount()) {
            seen = arrivals.arrivedCount();
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return seen;
    };
    // Every round starts from the reset state, whatever the clicks above left.
    arrivals.arm(INT_MAX);
    click(resetAll);
    commandsWhenQuiet();
    int editCommands = 0; // learned on the first round
    for (int rep = -warmUp; rep < reps; ++rep) {
        const int base = (rep + warmUp) % 200;
        arrivals.arm(editCommands > 0 ? editCommands : INT_MAX);
        for (int p = 0; p < 3; ++p)
            ports[p].writeHex->setText(HexText(1 + base + p));
        for (int p = 0; p < 3; ++p)
            ports[p].directionHex->setText(HexText(base + p));
        if (editCommands == 0) {
            editCommands = commandsWhenQuiet();
        } else if (!arrivals.wait(2000)) {
            return giveUp(QStringLiteral("editing all six values sent fewer commands than before"));
        }
        QCoreApplication::processEvents();
        board.clearReceived();
        arrivals.arm(18);
        const qint64 start = monotonicNs();
        click(resetAll);
        if (!arrivals.wait(2000) || board.received() != resetAllEdited)
            return giveUp(QStringLiteral("Reset All did not send the 18 commands but %1")
                              .arg(QString::fromLatin1(board.received().toHex(' '))));
        if (rep >= 0)
            resetMs.push_back(double(arrivals.arrivedNs() - start) / 1e6);
    }
    addClickRow(QStringLiteral("Reset All, all six values edited, to its 18 commands at the board"),
                resetMs);
    return true;
}

bool Bench::measureContinuousPoll(IoTestWindow &window, QtPtyBoard &board)
{
    progress("Continuous Poll against a silent board");
    board.setReplyMode(PtyBoard::ReplyMode::Silent);
    board.clearReceived();

    // Connected after the window's own handler, so each tick's cycle has run when it fires.
    std::vector<double> cycleMs;
    qint64 lastCpu = processCpuNs();
    const auto connection = QObject::connect(window.timer(), &QTimer::timeout, [&] {
        const qint64 now = processCpuNs();
        cycleMs.push_back(double(now - lastCpu) / 1e6);
        lastCpu = now;
    });

    auto *check = window.control<QCheckBox>(QStringLiteral("Check1"));
    const qint64 startCpu = processCpuNs();
    const qint64 startWall = monotonicNs();
    lastCpu = startCpu;
    check->click();
    runEventsFor(m_options.pollSeconds * 1000);
    check->click();
    const double cpuMs = double(processCpuNs() - startCpu) / 1e6;
    const double seconds = double(monotonicNs() - startWall) / 1e9;
    QObject::disconnect(connection);

    const int cycles = board.readRequests();
    const QString status = window.control<QLabel>(QStringLiteral("StatusLabel"))->text();
    if (cycles == 0 || cycleMs.empty() || status != QLatin1String(StatusText::ReadTimeout))
        return giveUp(QStringLiteral("Continuous Poll did not run its timed-out cycles"));

    const double perCycle = median(cycleMs);
    addRow({QStringLiteral("CPU of the process per Continuous Poll cycle, silent board"),
            msText(perCycle, 3), QStringLiteral("%1 ms").arg(TimedOutCpuLimitMs),
            verdict(perCycle < TimedOutCpuLimitMs), QString::number(cycleMs.size())});
    addRow({QStringLiteral("CPU of the process over %1 s of Continuous Poll, silent board")
                .arg(decimal(seconds, 1)),
            msText(cpuMs, 1),
            QStringLiteral("%1 ms x %2 cycles = %3 ms")
                .arg(TimedOutCpuLimitMs)
                .arg(cycles)
                .arg(decimal(TimedOutCpuLimitMs * cycles, 0)),
            verdict(cpuMs < TimedOutCpuLimitMs * cycles), QStringLiteral("1")});
    board.setReplyMode(PtyBoard::ReplyMode::Normal);
    return true;
}

bool Bench::measureStartup()
{
    progress("start-up and peak memory");
    QtPtyBoard board;
    if (!startBoard(board))
        return false;

    std::vector<double> startMs;
    std::vector<double> peakMB;
    // The first start may find the libraries still on disk; every later one is a user's
    // ordinary start.
    for (int rep = -1; rep < m_options.startReps; ++rep) {
        double start = 0;
        double peak = 0;
        if (!startChild(board.devicePath(), &start, &peak))
            return false;
        if (rep >= 0) {
            startMs.push_back(start);
            peakMB.push_back(peak);
        }
        board.clearReceived();
    }

    const QString reps = QString::number(m_options.startReps);
    const double start = median(startMs);
    const double peak = median(peakMB);
    addRow({QStringLiteral("Start: spawn to the window first exposed"), msText(start, 1),
            QStringLiteral("%1 ms").arg(StartLimitMs), verdict(start < StartLimitMs), reps});
    addRow({QStringLiteral("Peak resident memory (VmHWM) after connecting, polling, "
                           "editing, Reset All, Continuous Poll, Done"),
            decimal(peak, 1) + QStringLiteral(" MB"), QStringLiteral("%1 MB").arg(PeakLimitMB),
            verdict(peak < PeakLimitMB), reps});
    return true;
}

bool Bench::startChild(const QString &device, double *startMs, double *peakMB)
{
    ChildProcess child;
    QString error;
    if (!child.start({QFile::encodeName(QCoreApplication::applicationFilePath()),
                      StartupChildOption, QFile::encodeName(device)},
                     false, &error))
        return giveUp(error);
    child.finish(StartupChildTimeoutMs);

    qint64 exposed = 0;
    qint64 peakKiB = 0;
    for (const QByteArray &line : child.output().split('\n')) {
        if (line.startsWith("exposed "))
            exposed = line.mid(8).toLongLong();
        else if (line.startsWith("peak-kib "))
            peakKiB = line.mid(9).toLongLong();
        else if (line.startsWith("error "))
            return giveUp(QStringLiteral("start-up child: ") + QString::fromLocal8Bit(line.mid(6)));
    }
    if (!child.exitedCleanly() || exposed == 0 || peakKiB <= 0)
        return giveUp(QStringLiteral("the start-up child did not run to its end"));
    *startMs = double(exposed - child.startedNs()) / 1e6;
    *peakMB = double(peakKiB) * 1024 / 1e6;
    return true;
}

void Bench::print() const
{
    const QString platform = QGuiApplication::platformName();
    printReport(
        "Zarvex Test benchmarks",
        QStringLiteral("; Qt %1, platform \"%2\"%3")
            .arg(QLatin1String(qVersion()), platform,
                 platform == QLatin1String("offscreen")
                     ? QStringLiteral(" (no display: windows are drawn offscreen)")
                     : QString()),
        "this benchmark",
        {QStringLiteral("Each latency is one repetition's own figure; warm-up rounds are not "
                        "counted. Click figures start before the mouse press; \"at the board\" "
                        "is when the emulator decoded the last command. CPU figures are the "
                        "whole process's, emulator thread included.")});
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], StartupChildOption) == 0)
        return StartupProbe::runChild(QString::fromLocal8Bit(argv[2]), argv[0]);

    // Inherited by the start-up children as well.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);

    Options options;
    BenchOptions parser(
        QStringLiteral("Measures the Zarvex Test utility against the board emulator and prints a "
                       "markdown table of medians beside their limits."));
    parser.addCount(QStringLiteral("reps"),
                    QStringLiteral("Read-ports exchanges and floor round trips"),
                    QStringLiteral("n"), &options.reps);
    parser.addCount(QStringLiteral("click-reps"), QStringLiteral("Clicks of each kind"),
                    QStringLiteral("n"), &options.clickReps);
    parser.addCount(QStringLiteral("timeout-reps"),
                    QStringLiteral("Timed-out exchanges, 0.4 s each"), QStringLiteral("n"),
                    &options.timeoutReps);
    parser.addCount(QStringLiteral("start-reps"), QStringLiteral("Program starts"),
                    QStringLiteral("n"), &options.startReps);
    parser.addCount(QStringLiteral("poll-seconds"),
                    QStringLiteral("Length of the Continuous Poll run"), QStringLiteral("s"),
                    &options.pollSeconds);
    return runBench<Bench>(app, parser, options);
}
