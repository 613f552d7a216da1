// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Figures of the zarvex command-line program, each beside a floor taken in the same run: a
// whole `zarvex read` process against a minimal C program doing the same exchange, batch
// reads per second against raw pty round trips, and the CPU of `zarvex watch`. Prints a
// markdown table. Exits non-zero only when a measurement could not be made.
#include "benchsupport.h"
#include "ptyboard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr double SpawnRatioLimit = 2;
constexpr double BatchRatioFloor = 0.8;
constexpr double WatchCpuLimitPercent = 2;
constexpr int WatchIntervalMs = 10;
constexpr int ChildTimeoutMs = 5000;

struct Options
{
    int spawnReps = 200;
    int batchReads = 2000;
    int batchRounds = 5;
    int watchSeconds = 60;
};

using Reading = BoardReading;

// As zarvex prints it.
QByteArray readingText(const PtyBoard &board)
{
    const Reading reply = expectedReply(board);
    return QString::asprintf("A=0x%02X B=0x%02X C=0x%02X", reply[0], reply[1], reply[2]).toLatin1();
}

// A program started with posix_spawn, its standard output (and input, if asked) on pipes.
class Child
{
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool start(const QByteArrayList &argv, bool withInput, QString *error);
    // Writes what the pipe takes of `pending` and reads what came, waiting at most timeoutMs
    // for either. False once the output ended.
    bool pump(QByteArray *pending, int timeoutMs);
    void closeInput();
    void signal(int number) const { ::kill(m_pid, number); }
    // Reads the output to its end and reaps the child; a child still running after
    // timeoutMs is killed and false returned.
    bool finish(int timeoutMs);

    bool exitedCleanly() const { return WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0; }
    int status() const { return m_status; }
    const QByteArray &output() const { return m_output; }
    qsizetype lines() const { return m_lines; }
    qint64 startedNs() const { return m_startedNs; }
    double wallMs() const { return double(m_endedNs - m_startedNs) / 1e6; }
    double cpuMs() const { return double(cpuNs(m_usage)) / 1e6; }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    int m_status = -1;
    rusage m_usage{};
    QByteArray m_output;
    qsizetype m_lines = 0;
    qint64 m_startedNs = 0;
    qint64 m_endedNs = 0;
};

Child::~Child()
{
    closeInput();
    if (m_out >= 0)
        ::close(m_out);
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool Child::start(const QByteArrayList &argv, bool withInput, QString *error)
{
    int out[2];
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || (withInput && ::pipe2(in, O_CLOEXEC) != 0)) {
        *error = QStringLiteral("pipe: ") + qt_error_string(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (withInput)
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // The child starts as from a shell: default dispositions and nothing blocked.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t set;
    sigemptyset(&set);
    posix_spawnattr_setsigmask(&attributes, &set);
    sigaddset(&set, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &set);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char *> args;
    for (const QByteArray &arg : argv)
        args.push_back(const_cast<char *>(arg.constData()));
    args.push_back(nullptr);
    m_startedNs = monotonicNs();
    const int spawnError =
        ::posix_spawn(&m_pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    m_out = out[0];
    if (withInput) {
        ::close(in[0]);
        m_in = in[1];
        ::fcntl(m_in, F_SETFL, O_NONBLOCK);
    }
    if (spawnError != 0) {
        m_pid = -1;
        *error = QStringLiteral("posix_spawn %1: %2")
                     .arg(QString::fromLocal8Bit(argv[0]), qt_error_string(spawnError));
        return false;
    }
    return true;
}

bool Child::pump(QByteArray *pending, int timeoutMs)
{
    if (m_out < 0)
        return false;
    const bool writing = pending && !pending->isEmpty() && m_in >= 0;
    std::array<pollfd, 2> fds{{{m_out, POLLIN, 0}, {m_in, POLLOUT, 0}}};
    if (::poll(fds.data(), writing ? 2 : 1, timeoutMs) < 0)
        return errno == EINTR;
    if (writing && fds[1].revents != 0) {
        const ssize_t n = ::write(m_in, pending->constData(), size_t(pending->size()));
        if (n > 0)
            pending->remove(0, n);
        else if (errno != EAGAIN && errno != EINTR)
            pending->clear(); // the child stopped reading; its output says why
    }
    if (fds[0].revents == 0)
        return true;
    char buffer[4096];
    const ssize_t n = ::read(m_out, buffer, sizeof buffer);
    if (n > 0) {
        m_output.append(buffer, n);
        m_lines += std::count(buffer, buffer + n, '\n');
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    ::close(m_out);
    m_out = -1;
    return false;
}

void Child::closeInput()
{
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

bool Child::finish(int timeoutMs)
{
    closeInput();
    if (m_pid <= 0)
        return false;
    const qint64 giveUp = monotonicNs() + qint64(timeoutMs) * 1000000;
    bool inTime = true;
    while (m_out >= 0) {
        const qint64 left = giveUp - monotonicNs();
        if (left <= 0) {
            ::kill(m_pid, SIGKILL);
            inTime = false;
            break;
        }
        pump(nullptr, int(left / 1000000) + 1);
    }
    while (::wait4(m_pid, &m_status, 0, &m_usage) < 0 && errno == EINTR) {
    }
    m_endedNs = monotonicNs();
    m_pid = -1;
    return inTime;
}

class Bench
{
public:
    explicit Bench(const Options &options) : m_options(options) {}

    bool run();
    void print() const;
    QString error() const { return m_error; }

private:
    bool measureSpawn();
    bool measureBatch();
    bool measureWatch();
    // One whole process: its output must be `expected` (any, when empty) and its exit 0.
    bool runOnce(const QByteArrayList &argv, const QByteArray &expected, double *wallMs,
                 double *cpuMs);
    bool startBoard(PtyBoard &board, const Reading &pattern);
    bool fail(const QString &what);
    void progress(const char *what) const;

    Options m_options;
    const QByteArray m_zarvex = QByteArrayLiteral(ZARVEX_PROGRAM);
    const QByteArray m_rawread = QByteArrayLiteral(RAWREAD_PROGRAM);
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
    std::fprintf(stderr, "zarvex-cli-bench: %s\n", what);
}

bool Bench::startBoard(PtyBoard &board, const Reading &pattern)
{
    setPattern(board, pattern);
    QString error;
    return board.start(&error) || fail(QStringLiteral("the emulator did not start: ") + error);
}

bool Bench::run()
{
    const bool ok = measureSpawn() && measureBatch() && measureWatch();
    m_load.measure(&m_busyPercent, &m_ownPercent);
    m_loadAfter = loadAverage();
    return ok;
}

bool Bench::runOnce(const QByteArrayList &argv, const QByteArray &expected, double *wallMs,
                    double *cpuMs)
{
    Child child;
    QString error;
    if (!child.start(argv, false, &error))
        return fail(error);
    const bool inTime = child.finish(ChildTimeoutMs);
    const QByteArray output = child.output().trimmed();
    if (!inTime || !child.exitedCleanly() || output.isEmpty() ||
        (!expected.isEmpty() && output != expected))
        return fail(QStringLiteral("`%1` printed \"%2\" instead of \"%3\" (wait status %4%5)")
                        .arg(QString::fromLocal8Bit(argv.join(' ')), QString::fromLatin1(output),
                             QString::fromLatin1(expected))
                        .arg(child.status())
                        .arg(inTime ? QString() : QStringLiteral(", hung")));
    *wallMs = child.wallMs();
    *cpuMs = child.cpuMs();
    return true;
}

bool Bench::measureSpawn()
{
    progress("zarvex read as a process, against the C program");
    // One emulator each, as a pty is never shared between the two kinds of client.
    PtyBoard zarvexBoard;
    PtyBoard rawBoard;
    if (!startBoard(zarvexBoard, patternFor(0)) || !startBoard(rawBoard, patternFor(0)))
        return false;

    struct Series
    {
        QByteArrayList argv;
        const PtyBoard *board; // whose reading the output must show; none for --version
        std::vector<double> wallMs;
        std::vector<double> cpuMs;
    };
    const QByteArray zarvexDevice = QFile::encodeName(zarvexBoard.devicePath());
    std::array<Series, 4> series{{
        {{m_zarvex, "-d", zarvexDevice, "read"}, &zarvexBoard, {}, {}},
        {{m_rawread, QFile::encodeName(rawBoard.devicePath())}, &rawBoard, {}, {}},
        {{m_zarvex, "--version"}, nullptr, {}, {}},
        {{m_rawread, "--version"}, nullptr, {}, {}},
    }};
    constexpr int warmUp = 5;
    for (int rep = -warmUp; rep < m_options.spawnReps; ++rep) {
        setPattern(zarvexBoard, patternFor(rep));
        setPattern(rawBoard, patternFor(rep));
        // Each in turn goes first, so none always finds the caches as another left them.
        for (int i = 0; i < int(series.size()); ++i) {
            Series &s = series[size_t(i + rep + warmUp) % series.size()];
            double wall = 0;
            double cpu = 0;
            if (!runOnce(s.argv, s.board ? readingText(*s.board) : QByteArray(), &wall, &cpu))
                return false;
            if (rep >= 0) {
                s.wallMs.push_back(wall);
                s.cpuMs.push_back(cpu);
            }
        }
    }

    const auto ms = [](double value) { return number(value, 2) + QStringLiteral(" ms"); };
    const double zarvexRead = median(series[0].wallMs);
    const double rawRead = median(series[1].wallMs);
    const QString reps = QString::number(m_options.spawnReps);
    m_rows.push_back({QStringLiteral("Floor: C program (`rawread`), spawn to reaped: open, raw "
                                     "9600 8N1, \"abc\" out, 3 bytes back (poll), close"),
                      ms(rawRead), QStringLiteral("(floor)"), QStringLiteral("-"), reps});
    m_rows.push_back(
        {QStringLiteral("`zarvex -d PTY read`, spawn to reaped, reading checked"), ms(zarvexRead),
         QStringLiteral("%1 x floor = %2").arg(SpawnRatioLimit).arg(ms(SpawnRatioLimit * rawRead)),
         verdict(zarvexRead <= SpawnRatioLimit * rawRead), reps});
    m_rows.push_back({QStringLiteral("Of that, start-up: `zarvex --version`, spawn to reaped"),
                      ms(median(series[2].wallMs)),
                      QStringLiteral("`rawread --version`: %1").arg(ms(median(series[3].wallMs))),
                      QStringLiteral("-"), reps});
    m_rows.push_back({QStringLiteral("CPU of one `zarvex read` process (its rusage)"),
                      ms(median(series[0].cpuMs)),
                      QStringLiteral("`rawread`: %1; `zarvex --version`: %2")
                          .arg(ms(median(series[1].cpuMs)), ms(median(series[2].cpuMs))),
                      QStringLiteral("-"), reps});
    return true;
}

bool Bench::measureBatch()
{
    progress("batch reads per second, against raw pty round trips");
    PtyBoard batchBoard;
    PtyBoard rawBoard;
    if (!startBoard(batchBoard, patternFor(0)) || !startBoard(rawBoard, patternFor(0)))
        return false;
    RawPtyClient raw;
    QString error;
    if (!raw.open(rawBoard.devicePath(), &error))
        return fail(QStringLiteral("raw pty client: ") + error);

    const int reads = m_options.batchReads;
    const QByteArray request = QByteArrayLiteral("abc");
    const auto measureFloor = [&](double *perSecond) {
        const Reading reading = expectedReply(rawBoard);
        const QByteArray expected(reinterpret_cast<const char *>(reading.data()), 3);
        const qint64 start = monotonicNs();
        for (int i = 0; i < reads; ++i) {
            if (raw.roundTrip(request, 3, 1000) != expected)
                return fail(QStringLiteral("a raw round trip's reply was missing or wrong"));
        }
        *perSecond = reads / (double(monotonicNs() - start) / 1e9);
        return true;
    };
    const QByteArray replyLine = "ok " + readingText(batchBoard) + '\n';
    const auto measureBatchRun = [&](double *perSecond) {
        Child child;
        if (!child.start({m_zarvex, "-d", QFile::encodeName(batchBoard.devicePath()), "batch"},
                         true, &error))
            return fail(error);
        const qint64 giveUp = monotonicNs() + qint64(ChildTimeoutMs) * 1000000;
        while (child.lines() < 1 && monotonicNs() < giveUp && child.pump(nullptr, 100)) {
        }
        if (!child.output().startsWith("open "))
            return fail(QStringLiteral("zarvex batch did not open the port"));
        const qsizetype replies = child.output().size();
        QByteArray pending = QByteArrayLiteral("read\n").repeated(reads);
        const qint64 start = monotonicNs();
        while (child.lines() < reads + 1 && child.pump(&pending, ChildTimeoutMs)) {
        }
        const qint64 end = monotonicNs();
        child.finish(ChildTimeoutMs);
        if (!child.exitedCleanly() || child.output().mid(replies) != replyLine.repeated(reads))
            return fail(QStringLiteral("zarvex batch did not give %1 right replies").arg(reads));
        *perSecond = reads / (double(end - start) / 1e9);
        return true;
    };

    std::vector<double> floorRates;
    std::vector<double> batchRates;
    for (int round = 0; round < m_options.batchRounds; ++round) {
        double floor = 0;
        double batch = 0;
        const bool ok = round % 2 ? measureFloor(&floor) && measureBatchRun(&batch)
                                  : measureBatchRun(&batch) && measureFloor(&floor);
        if (!ok)
            return false;
        floorRates.push_back(floor);
        batchRates.push_back(batch);
    }
    const double floorRate = median(floorRates);
    const double batchRate = median(batchRates);
    const QString reps = QStringLiteral("%1 x %2").arg(m_options.batchRounds).arg(reads);
    m_rows.push_back({QStringLiteral("Floor: raw pty round trips per second, in-process POSIX "
                                     "client"),
                      number(floorRate, 0) + QStringLiteral(" /s"), QStringLiteral("(floor)"),
                      QStringLiteral("-"), reps});
    m_rows.push_back(
        {QStringLiteral("`zarvex batch` reads per second, first line written to last reply read"),
         number(batchRate, 0) +
             QStringLiteral(" /s (%1 x floor)").arg(number(batchRate / floorRate, 2)),
         QStringLiteral("%1 x floor = %2 /s")
             .arg(BatchRatioFloor)
             .arg(number(BatchRatioFloor * floorRate, 0)),
         verdict(batchRate >= BatchRatioFloor * floorRate), reps});
    return true;
}

bool Bench::measureWatch()
{
    progress("CPU of zarvex watch --interval 10ms");
    PtyBoard board;
    if (!startBoard(board, patternFor(0)))
        return false;
    Child child;
    QString error;
    if (!child.start({m_zarvex, "-d", QFile::encodeName(board.devicePath()), "watch", "--interval",
                      QByteArray::number(WatchIntervalMs) + "ms"},
                     false, &error))
        return fail(error);
    const qint64 until = child.startedNs() + qint64(m_options.watchSeconds) * 1000000000;
    for (qint64 now = monotonicNs(); now < until; now = monotonicNs()) {
        if (!child.pump(nullptr, int((until - now) / 1000000) + 1))
            return fail(QStringLiteral("zarvex watch ended by itself"));
    }
    const int polls = board.readRequests();
    const double seconds = double(monotonicNs() - child.startedNs()) / 1e9;
    child.signal(SIGTERM);
    if (!child.finish(ChildTimeoutMs) || !child.exitedCleanly() ||
        !child.output().contains(readingText(board)))
        return fail(QStringLiteral("zarvex watch did not show the reading and end with exit 0 "
                                   "on SIGTERM"));

    const double percent = 100 * child.cpuMs() / child.wallMs();
    m_rows.push_back({QStringLiteral("CPU of `zarvex watch --interval %1ms` over %2 s, its "
                                     "rusage after SIGTERM, % of one core")
                          .arg(WatchIntervalMs)
                          .arg(number(child.wallMs() / 1000, 1)),
                      number(percent, 2) + QStringLiteral(" %"),
                      QStringLiteral("%1 %").arg(WatchCpuLimitPercent),
                      verdict(percent < WatchCpuLimitPercent), QStringLiteral("1")});
    m_rows.push_back(
        {QStringLiteral("Of that, per read-ports exchange the board answered (%1 "
                        "per second; the schedule is %2)")
             .arg(number(polls / seconds, 1))
             .arg(1000 / WatchIntervalMs),
         number(polls > 0 ? 1000 * child.cpuMs() / polls : 0, 1) + QStringLiteral(" µs"),
         QStringLiteral("-"), QStringLiteral("-"), QString::number(polls)});
    return true;
}

void Bench::print() const
{
    printTable("zarvex command-line benchmarks", m_rows);
    std::printf("- Machine: %s.\n", qPrintable(machineDescription()));
    std::printf("- Load: the cores were %s%% busy during the run, %s%% of them with this "
                "benchmark and its children; load average %s before, %s after.\n",
                qPrintable(number(m_busyPercent, 0)), qPrintable(number(m_ownPercent, 0)),
                qPrintable(m_loadBefore), qPrintable(m_loadAfter));
    std::printf("- The emulator runs on a thread of this benchmark; CPU figures are the child "
                "process's own (wait4), without the emulator.\n");
}

} // namespace

int main(int argc, char *argv[])
{
    // A batch child that ended early must fail the measurement, not kill the benchmark; the
    // children get the default action back.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Measures the zarvex command-line program against the board emulator and "
                       "prints a markdown table of medians beside their floors and limits."));
    parser.addHelpOption();
    const QCommandLineOption spawnOption(
        QStringLiteral("spawn-reps"),
        QStringLiteral("Processes of each kind: zarvex read, the C program, and both --version "
                       "(default 200)."),
        QStringLiteral("n"), QStringLiteral("200"));
    const QCommandLineOption readsOption(
        QStringLiteral("batch-reads"), QStringLiteral("`read` lines in each batch (default 2000)."),
        QStringLiteral("n"), QStringLiteral("2000"));
    const QCommandLineOption roundsOption(
        QStringLiteral("batch-rounds"),
        QStringLiteral("Batches, each beside as many raw round trips (default 5)."),
        QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption watchOption(QStringLiteral("watch-seconds"),
                                         QStringLiteral("Length of the watch run (default 60)."),
                                         QStringLiteral("s"), QStringLiteral("60"));
    parser.addOptions({spawnOption, readsOption, roundsOption, watchOption});
    parser.process(app);

    Options options;
    const auto positive = [&](const QCommandLineOption &option, int *value) {
        bool ok = false;
        *value = parser.value(option).toInt(&ok);
        if (!ok || *value < 1) {
            std::fprintf(stderr, "zarvex-cli-bench: --%s needs a whole number of at least 1\n",
                         qPrintable(option.names().constFirst()));
            return false;
        }
        return true;
    };
    if (!positive(spawnOption, &options.spawnReps) || !positive(readsOption, &options.batchReads) ||
        !positive(roundsOption, &options.batchRounds) ||
        !positive(watchOption, &options.watchSeconds))
        return 2;

    Bench bench(options);
    if (!bench.run()) {
        std::fprintf(stderr, "zarvex-cli-bench: broken run: %s\n", qPrintable(bench.error()));
        return 1;
    }
    bench.print();
    return 0;
}
