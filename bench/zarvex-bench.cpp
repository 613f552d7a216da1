// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Latency, CPU, start-up and memory figures of the utility, each beside the limit it is held
// to, measured against the board emulator on real pseudo-terminals. Prints a markdown table.
// Exits non-zero only when a measurement could not be made (wrong bytes, a reply missing).
#include "benchsupport.h"
#include "device/commandset.h"
#include "device/qtseriallink.h"
#include "device/session.h"
#include "ports/valueformats.h"
#include "ptyboard.h"
#include "startupprobe.h"
#include "window/iotestwindow.h"
#include "window/statustext.h"
#include "window/textbox.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QWindow>

#include <array>
#include <climits>
#include <cstdio>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr char StartupChildOption[] = "--startup-child";

constexpr double ExchangeMarginUs = 100;
constexpr double ClickLimitMs = 1;
constexpr double TimedOutCpuLimitMs = 4;
constexpr double StartLimitMs = 300;
constexpr double PeakLimitMB = 60; // 10^6 bytes

struct Options
{
    int reps = 1000;
    int clickReps = 300;
    int timeoutReps = 10;
    int startReps = 20;
    int pollSeconds = 60;
};

using PortInputs = CommandSet::PortInputs;

QtSerialLink::PortNamer fixedDevice(const QString &device)
{
    return [device](int) { return device; };
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class Bench
{
public:
    explicit Bench(const Options &options) : m_options(options) {}

    bool run();
    void print() const;
    QString error() const { return m_error; }

private:
    bool measureDeviceLayer();
    bool measureWindow();
    bool measureClicks(IoTestWindow &window, PtyBoard &board, ArrivalClock &arrivals);
    bool measureContinuousPoll(IoTestWindow &window, PtyBoard &board);
    bool measureStartup();
    bool startChild(const QString &device, double *startMs, double *peakMB);

    bool startBoard(PtyBoard &board);
    bool fail(const QString &what);
    void progress(const char *what) const;
    void addClickRow(const QString &figure, const std::vector<double> &ms);

    Options m_options;
    QString m_error;
    std::vector<Row> m_rows;
    MachineLoad m_load;
    QString m_loadBefore = loadAverage();
    QString m_loadAfter;
    double m_busyPercent = -1;
    double m_ownPercent = -1;
};

bool Bench::fail(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
    return false;
}

void Bench::progress(const char *what) const
{
    std::fprintf(stderr, "zarvex-bench: %s\n", what);
}

bool Bench::startBoard(PtyBoard &board)
{
    QString error;
    return board.start(&error) || fail(QStringLiteral("the emulator did not start: ") + error);
}

bool Bench::run()
{
    const bool ok = measureDeviceLayer() && measureWindow() && measureStartup();
    m_load.measure(&m_busyPercent, &m_ownPercent);
    m_loadAfter = loadAverage();
    return ok;
}

bool Bench::measureDeviceLayer()
{
    progress("read-ports exchange and its floor");
    // One emulator each, so the raw client and QSerialPort never share a pty.
    PtyBoard floorBoard;
    PtyBoard linkBoard;
    if (!startBoard(floorBoard) || !startBoard(linkBoard))
        return false;

    RawPtyClient raw;
    QString error;
    if (!raw.open(floorBoard.devicePath(), &error))
        return fail(QStringLiteral("raw pty client: ") + error);
    QtSerialLink link(nullptr, fixedDevice(linkBoard.devicePath()));
    if (link.open())
        return fail(QStringLiteral("QtSerialLink did not open ") + linkBoard.devicePath());
    CommandSet commands(link);

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
            return fail(QStringLiteral("a read-ports reply was missing or wrong"));
        if (rep >= 0) {
            floorUs.push_back(floor);
            exchangeUs.push_back(exchange);
        }
    }

    const double floorMedian = median(floorUs);
    const double exchangeMedian = median(exchangeUs);
    const QString reps = QString::number(m_options.reps);
    m_rows.push_back({QStringLiteral("Floor: 3 bytes out and 3 back over a pty, raw POSIX client"),
                      number(floorMedian, 1) + QStringLiteral(" µs"), QStringLiteral("(floor)"),
                      QStringLiteral("-"), reps});
    m_rows.push_back(
        {QStringLiteral("Read-ports exchange: CommandSet::readPorts over QtSerialLink"),
         number(exchangeMedian, 1) + QStringLiteral(" µs"),
         QStringLiteral("floor + %1 µs = %2 µs")
             .arg(ExchangeMarginUs)
             .arg(number(floorMedian + ExchangeMarginUs, 1)),
         verdict(exchangeMedian <= floorMedian + ExchangeMarginUs), reps});

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
            return fail(QStringLiteral("an exchange with a silent board did not time out"));
    }
    const double cpuMedian = median(cpuMs);
    m_rows.push_back({QStringLiteral("CPU of the process per timed-out exchange (wall %1 ms)")
                          .arg(number(median(wallMs), 1)),
                      number(cpuMedian, 3) + QStringLiteral(" ms"),
                      QStringLiteral("%1 ms (a spinning wait: %2 ms)")
                          .arg(TimedOutCpuLimitMs)
                          .arg(CommandSet::ReplyDeadlineMs),
                      verdict(cpuMedian < TimedOutCpuLimitMs),
                      QString::number(m_options.timeoutReps)});
    return true;
}

bool Bench::measureWindow()
{
    PtyBoard board;
    if (!startBoard(board))
        return false;
    ArrivalClock arrivals(board);

    IoTestWindow window(new QtSerialLink(nullptr, fixedDevice(board.devicePath())));
    window.show();
    const qint64 giveUp = monotonicNs() + qint64(5) * 1000000000;
    while (!(window.windowHandle() && window.windowHandle()->isExposed())) {
        if (monotonicNs() > giveUp)
            return fail(QStringLiteral("the window was never exposed"));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    static const QByteArray resetCommands = QByteArray::fromHex("2141FF2142FF2143FF410042004300");
    arrivals.arm(6);
    click(window.control(QStringLiteral("Connect")));
    if (!arrivals.wait(2000) || board.received() != resetCommands)
        return fail(QStringLiteral("Connect did not send the reset commands"));
    board.clearReceived();

    return measureClicks(window, board, arrivals) && measureContinuousPoll(window, board);
}

void Bench::addClickRow(const QString &figure, const std::vector<double> &ms)
{
    const double value = median(ms);
    m_rows.push_back({figure, number(value, 3) + QStringLiteral(" ms"),
                      QStringLiteral("%1 ms").arg(ClickLimitMs), verdict(value < ClickLimitMs),
                      QString::number(ms.size())});
}

bool Bench::measureClicks(IoTestWindow &window, PtyBoard &board, ArrivalClock &arrivals)
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
                return fail(QStringLiteral("Poll Once did not show the board's inputs"));
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
            return fail(QStringLiteral("a direction-bit click did not send its three commands"));
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
        while (seen != arrivals.count()) {
            seen = arrivals.count();
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
            return fail(QStringLiteral("editing all six values sent fewer commands than before"));
        }
        QCoreApplication::processEvents();
        board.clearReceived();
        arrivals.arm(18);
        const qint64 start = monotonicNs();
        click(resetAll);
        if (!arrivals.wait(2000) || board.received() != resetAllEdited)
            return fail(QStringLiteral("Reset All did not send the 18 commands but %1")
                            .arg(QString::fromLatin1(board.received().toHex(' '))));
        if (rep >= 0)
            resetMs.push_back(double(arrivals.arrivedNs() - start) / 1e6);
    }
    addClickRow(QStringLiteral("Reset All, all six values edited, to its 18 commands at the board"),
                resetMs);
    return true;
}

bool Bench::measureContinuousPoll(IoTestWindow &window, PtyBoard &board)
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
        return fail(QStringLiteral("Continuous Poll did not run its timed-out cycles"));

    const double perCycle = median(cycleMs);
    m_rows.push_back({QStringLiteral("CPU of the process per Continuous Poll cycle, silent board"),
                      number(perCycle, 3) + QStringLiteral(" ms"),
                      QStringLiteral("%1 ms").arg(TimedOutCpuLimitMs),
                      verdict(perCycle < TimedOutCpuLimitMs), QString::number(cycleMs.size())});
    m_rows.push_back(
        {QStringLiteral("CPU of the process over %1 s of Continuous Poll, silent board")
             .arg(number(seconds, 1)),
         number(cpuMs, 1) + QStringLiteral(" ms"),
         QStringLiteral("%1 ms x %2 cycles = %3 ms")
             .arg(TimedOutCpuLimitMs)
             .arg(cycles)
             .arg(number(TimedOutCpuLimitMs * cycles, 0)),
         verdict(cpuMs < TimedOutCpuLimitMs * cycles), QStringLiteral("1")});
    board.setReplyMode(PtyBoard::ReplyMode::Normal);
    return true;
}

bool Bench::measureStartup()
{
    progress("start-up and peak memory");
    PtyBoard board;
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
    m_rows.push_back({QStringLiteral("Start: spawn to the window first exposed"),
                      number(start, 1) + QStringLiteral(" ms"),
                      QStringLiteral("%1 ms").arg(StartLimitMs), verdict(start < StartLimitMs),
                      reps});
    m_rows.push_back({QStringLiteral("Peak resident memory (VmHWM) after connecting, polling, "
                                     "editing, Reset All, Continuous Poll, Done"),
                      number(peak, 1) + QStringLiteral(" MB"),
                      QStringLiteral("%1 MB").arg(PeakLimitMB), verdict(peak < PeakLimitMB), reps});
    return true;
}

bool Bench::startChild(const QString &device, double *startMs, double *peakMB)
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return fail(QStringLiteral("pipe: ") + qt_error_string(errno));

    const QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    const QByteArray deviceName = QFile::encodeName(device);
    char *argv[] = {const_cast<char *>(program.constData()), const_cast<char *>(StartupChildOption),
                    const_cast<char *>(deviceName.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

    pid_t child = 0;
    const qint64 spawned = monotonicNs();
    const int spawnError =
        ::posix_spawn(&child, program.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawnError != 0) {
        ::close(out[0]);
        return fail(QStringLiteral("posix_spawn: ") + qt_error_string(spawnError));
    }

    QByteArray output;
    const qint64 giveUp = monotonicNs() + qint64(30) * 1000000000;
    for (;;) {
        const qint64 left = giveUp - monotonicNs();
        pollfd fd{out[0], POLLIN, 0};
        if (left <= 0 || (::poll(&fd, 1, int(left / 1000000)) == 0)) {
            ::kill(child, SIGKILL);
            break;
        }
        std::array<char, 512> buffer;
        const ssize_t count = ::read(out[0], buffer.data(), buffer.size());
        if (count > 0)
            output.append(buffer.data(), count);
        else if (count == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }

    qint64 exposed = 0;
    qint64 peakKiB = 0;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("exposed "))
            exposed = line.mid(8).toLongLong();
        else if (line.startsWith("peak-kib "))
            peakKiB = line.mid(9).toLongLong();
        else if (line.startsWith("error "))
            return fail(QStringLiteral("start-up child: ") + QString::fromLocal8Bit(line.mid(6)));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || exposed == 0 || peakKiB <= 0)
        return fail(QStringLiteral("the start-up child did not run to its end"));
    *startMs = double(exposed - spawned) / 1e6;
    *peakMB = double(peakKiB) * 1024 / 1e6;
    return true;
}

void Bench::print() const
{
    const QString platform = QGuiApplication::platformName();
    printTable("Zarvex Test benchmarks", m_rows);
    std::printf(
        "- Machine: %s; Qt %s, platform \"%s\"%s.\n", qPrintable(machineDescription()), qVersion(),
        qPrintable(platform),
        platform == QLatin1String("offscreen") ? " (no display: windows are drawn offscreen)" : "");
    std::printf("- Load: the cores were %s%% busy during the run, %s%% of them with this "
                "benchmark; load average %s before, %s after.\n",
                qPrintable(number(m_busyPercent, 0)), qPrintable(number(m_ownPercent, 0)),
                qPrintable(m_loadBefore), qPrintable(m_loadAfter));
    std::printf("- Each latency is one repetition's own figure; warm-up rounds are not counted. "
                "Click figures start before the mouse press; \"at the board\" is when the "
                "emulator decoded the last command. CPU figures are the whole process's, "
                "emulator thread included.\n");
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

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures the Zarvex Test utility against the board emulator and prints a "
                       "markdown table of medians beside their limits."));
    parser.addHelpOption();
    const QCommandLineOption repsOption(QStringLiteral("reps"),
                                        QStringLiteral("Read-ports exchanges and floor round "
                                                       "trips (default 1000)."),
                                        QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption clickOption(QStringLiteral("click-reps"),
                                         QStringLiteral("Clicks of each kind (default 300)."),
                                         QStringLiteral("n"), QStringLiteral("300"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("timeout-reps"),
        QStringLiteral("Timed-out exchanges, 0.4 s each (default 10)."), QStringLiteral("n"),
        QStringLiteral("10"));
    const QCommandLineOption startOption(QStringLiteral("start-reps"),
                                         QStringLiteral("Program starts (default 20)."),
                                         QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption pollOption(
        QStringLiteral("poll-seconds"),
        QStringLiteral("Length of the Continuous Poll run (default 60)."), QStringLiteral("s"),
        QStringLiteral("60"));
    parser.addOptions({repsOption, clickOption, timeoutOption, startOption, pollOption});
    parser.process(app);

    Options options;
    const auto positive = [&](const QCommandLineOption &option, int *value) {
        bool ok = false;
        *value = parser.value(option).toInt(&ok);
        if (!ok || *value < 1) {
            std::fprintf(stderr, "zarvex-bench: --%s needs a whole number of at least 1\n",
                         qPrintable(option.names().constFirst()));
            return false;
        }
        return true;
    };
    if (!positive(repsOption, &options.reps) || !positive(clickOption, &options.clickReps) ||
        !positive(timeoutOption, &options.timeoutReps) ||
        !positive(startOption, &options.startReps) || !positive(pollOption, &options.pollSeconds))
        return 2;

    Bench bench(options);
    if (!bench.run()) {
        std::fprintf(stderr, "zarvex-bench: broken run: %s\n", qPrintable(bench.error()));
        return 1;
    }
    bench.print();
    return 0;
}
