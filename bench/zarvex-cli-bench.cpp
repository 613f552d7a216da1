// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Figures of the zarvex command-line program, each beside a floor taken in the same run: a
// whole `zarvex read` process against a minimal C program doing the same exchange and against
// its own start-up, batch reads per second against raw pty round trips, the peak memory of
// `zarvex batch` over a 100 MB file, and the CPU of `zarvex watch`. Prints a markdown table.
// Exits non-zero only when a measurement could not be made.
#include "benchsupport.h"
#include "qtptyboard.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <array>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

constexpr double SpawnRatioLimit = 1.5;
constexpr double VersionRatioLimit = 1.3;
constexpr double BatchRatioFloor = 0.9;
constexpr double WatchCpuLimitPercent = 2;
constexpr int WatchIntervalMs = 10;
constexpr int ChildTimeoutMs = 5000;
constexpr int BatchFileMB = 100;
constexpr int BatchFileLinesPerRead = 20000;
constexpr int BatchFileTimeoutMs = 300000;
constexpr double BatchResidentLimitMB = 20;

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

class Bench : public BenchRun
{
public:
    explicit Bench(const Options &options) : BenchRun("zarvex-cli-bench"), m_options(options) {}

    void print() const override;

protected:
    bool measure() override;

private:
    bool measureSpawn();
    bool measureBatch();
    bool measureBatchMemory();
    bool measureWatch();
    // One whole process: its output must be `expected` (any, when empty) and its exit 0.
    bool runOnce(const QByteArrayList &argv, const QByteArray &expected, double *wallMs,
                 double *cpuMs, qint64 *maxResidentKiB = nullptr);
    bool startBoard(PtyBoard &board, const Reading &pattern);

    Options m_options;
    const QByteArray m_zarvex = QByteArrayLiteral(ZARVEX_PROGRAM);
    const QByteArray m_rawread = QByteArrayLiteral(RAWREAD_PROGRAM);
    qint64 m_versionResidentKiB = 0;
};

bool Bench::startBoard(PtyBoard &board, const Reading &pattern)
{
    setPattern(board, pattern);
    return BenchRun::startBoard(board);
}

bool Bench::measure()
{
    return measureSpawn() && measureBatch() && measureBatchMemory() && measureWatch();
}

bool Bench::runOnce(const QByteArrayList &argv, const QByteArray &expected, double *wallMs,
                    double *cpuMs, qint64 *maxResidentKiB)
{
    ChildProcess child;
    QString error;
    if (!child.start(argv, false, &error))
        return giveUp(error);
    const bool inTime = child.finish(ChildTimeoutMs);
    const QByteArray output = child.output().trimmed();
    if (!inTime || !child.exitedCleanly() || output.isEmpty() ||
        (!expected.isEmpty() && output != expected))
        return giveUp(QStringLiteral("`%1` printed \"%2\" instead of \"%3\" (wait status %4%5)")
                          .arg(QString::fromLocal8Bit(argv.join(' ')), QString::fromLatin1(output),
                               QString::fromLatin1(expected))
                          .arg(child.status())
                          .arg(inTime ? QString() : QStringLiteral(", hung")));
    *wallMs = child.wallMs();
    *cpuMs = child.cpuMs();
    if (maxResidentKiB)
        *maxResidentKiB = qMax(*maxResidentKiB, child.maxResidentKiB());
    return true;
}

bool Bench::measureSpawn()
{
    progress("zarvex read as a process, against the C program");
    // One emulator each, as a pty is never shared between the two kinds of client.
    QtPtyBoard zarvexBoard;
    QtPtyBoard rawBoard;
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
            if (!runOnce(s.argv, s.board ? readingText(*s.board) : QByteArray(), &wall, &cpu,
                         &s == &series[2] ? &m_versionResidentKiB : nullptr))
                return false;
            if (rep >= 0) {
                s.wallMs.push_back(wall);
                s.cpuMs.push_back(cpu);
            }
        }
    }

    const auto ms = [](double value) { return msText(value, 2); };
    const double zarvexRead = median(series[0].wallMs);
    const double rawRead = median(series[1].wallMs);
    const QString reps = QString::number(m_options.spawnReps);
    const double zarvexVersion = median(series[2].wallMs);
    const double rawVersion = median(series[3].wallMs);
    addRow({QStringLiteral("Floor: C program (`rawread`), spawn to reaped: open, raw "
                           "9600 8N1, \"abc\" out, 3 bytes back (poll), close"),
            ms(rawRead), QStringLiteral("(floor)"), QStringLiteral("-"), reps});
    addRow(
        {QStringLiteral("`zarvex -d PTY read`, spawn to reaped, reading checked"), ms(zarvexRead),
         QStringLiteral("%1 x floor = %2").arg(SpawnRatioLimit).arg(ms(SpawnRatioLimit * rawRead)),
         verdict(zarvexRead <= SpawnRatioLimit * rawRead), reps});
    addRow({QStringLiteral("Of that, start-up: `zarvex --version`, spawn to reaped"),
            ms(zarvexVersion),
            QStringLiteral("%1 x `rawread --version` (%2) = %3")
                .arg(VersionRatioLimit)
                .arg(ms(rawVersion), ms(VersionRatioLimit * rawVersion)),
            verdict(zarvexVersion <= VersionRatioLimit * rawVersion), reps});
    addRow({QStringLiteral("Of that, beyond start-up: `zarvex read` less `zarvex --version`"),
            ms(zarvexRead - zarvexVersion),
            QStringLiteral("`rawread` less `rawread --version`: %1").arg(ms(rawRead - rawVersion)),
            QStringLiteral("-"), reps});
    addRow({QStringLiteral("CPU of one `zarvex read` process (its rusage)"),
            ms(median(series[0].cpuMs)),
            QStringLiteral("`rawread`: %1; `zarvex --version`: %2")
                .arg(ms(median(series[1].cpuMs)), ms(median(series[2].cpuMs))),
            QStringLiteral("-"), reps});
    return true;
}

bool Bench::measureBatch()
{
    progress("batch reads per second, against raw pty round trips");
    QtPtyBoard batchBoard;
    QtPtyBoard rawBoard;
    if (!startBoard(batchBoard, patternFor(0)) || !startBoard(rawBoard, patternFor(0)))
        return false;
    RawClient raw;
    QString error;
    if (!raw.open(rawBoard.devicePath(), &error))
        return giveUp(QStringLiteral("raw pty client: ") + error);

    const int reads = m_options.batchReads;
    const QByteArray request = QByteArrayLiteral("abc");
    const auto measureFloor = [&](double *perSecond) {
        const Reading reading = expectedReply(rawBoard);
        const QByteArray expected(reinterpret_cast<const char *>(reading.data()), 3);
        const qint64 start = monotonicNs();
        for (int i = 0; i < reads; ++i) {
            if (raw.roundTrip(request, 3, 1000) != expected)
                return giveUp(QStringLiteral("a raw round trip's reply was missing or wrong"));
        }
        *perSecond = reads / (double(monotonicNs() - start) / 1e9);
        return true;
    };
    const QByteArray replyLine = "ok " + readingText(batchBoard) + '\n';
    const auto measureBatchRun = [&](double *perSecond) {
        return timeBatchReads({m_zarvex, "-d", QFile::encodeName(batchBoard.devicePath()), "batch"},
                              reads, replyLine, perSecond);
    };
    return compareRates(
        m_options.batchRounds, measureBatchRun, measureFloor, {},
        QStringLiteral("`zarvex batch` reads per second, first line written to last reply read"),
        QStringLiteral("Floor: raw pty round trips per second, in-process POSIX client"),
        BatchRatioFloor, QStringLiteral("%1 x %2").arg(m_options.batchRounds).arg(reads));
}

// A batch file of `BatchFileMB` megabytes, as a long test script is: comments and blank
// lines, with a read every so often.
bool Bench::measureBatchMemory()
{
    progress("resident memory of zarvex batch over a 100 MB file");
    QtPtyBoard board;
    if (!startBoard(board, patternFor(0)))
        return false;
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/zarvex-cli-bench-XXXXXX.batch"));
    if (!file.open())
        return giveUp(QStringLiteral("cannot create a batch file in %1").arg(QDir::tempPath()));
    const QByteArray comment =
        QByteArrayLiteral("# step: the outputs hold while the inputs settle, then one read\n");
    QByteArray block;
    for (int i = 0; i < BatchFileLinesPerRead; ++i)
        block += i % 4 == 3 ? QByteArrayLiteral("\n") : comment;
    block += "read\n";
    const qint64 size = qint64(BatchFileMB) * 1000000;
    int reads = 0;
    for (qint64 written = 0; written < size; written += block.size(), ++reads) {
        if (file.write(block) != block.size())
            return giveUp(QStringLiteral("cannot write the batch file: ") + file.errorString());
    }
    if (!file.flush())
        return giveUp(QStringLiteral("cannot write the batch file: ") + file.errorString());
    const QByteArray path = QFile::encodeName(file.fileName());
    const QByteArray device = QFile::encodeName(board.devicePath());

    const auto runBatch = [&](const QByteArrayList &argv, int expectedReplies, qint64 *kiB,
                              double *wallMs) {
        ChildProcess child;
        QString error;
        if (!child.start(argv, false, &error))
            return giveUp(error);
        const bool inTime = child.finish(BatchFileTimeoutMs);
        const qsizetype replies = child.output().count("ok A=");
        if (!inTime || !child.exitedCleanly() || replies != expectedReplies)
            return giveUp(QStringLiteral("`%1` gave %2 replies instead of %3 (wait status %4%5)")
                              .arg(QString::fromLocal8Bit(argv.join(' ')))
                              .arg(replies)
                              .arg(expectedReplies)
                              .arg(child.status())
                              .arg(inTime ? QString() : QStringLiteral(", hung")));
        *kiB = child.maxResidentKiB();
        *wallMs = child.wallMs();
        return true;
    };
    qint64 checkKiB = 0;
    qint64 runKiB = 0;
    double checkMs = 0;
    double runMs = 0;
    if (!runBatch({m_zarvex, "--no-check", "batch", "-f", path, "--check-only"}, 0, &checkKiB,
                  &checkMs) ||
        !runBatch({m_zarvex, "-d", device, "batch", "-f", path}, reads, &runKiB, &runMs))
        return false;

    const auto mb = [](qint64 kiB) { return decimal(double(kiB) * 1024 / 1e6, 1) + " MB"; };
    const QString limit = QStringLiteral("%1 MB (`zarvex --version`: %2)")
                              .arg(BatchResidentLimitMB)
                              .arg(mb(m_versionResidentKiB));
    const auto met = [](qint64 kiB) { return double(kiB) * 1024 / 1e6 < BatchResidentLimitMB; };
    addRow({QStringLiteral("Peak resident memory of `zarvex --no-check batch -f FILE "
                           "--check-only`, %1 MB file (%2 s)")
                .arg(BatchFileMB)
                .arg(decimal(checkMs / 1000, 1)),
            mb(checkKiB), limit, verdict(met(checkKiB)), QStringLiteral("1")});
    addRow({QStringLiteral("Peak resident memory of `zarvex batch -f FILE`, %1 MB file, %2 "
                           "reads among comments and blank lines (%3 s)")
                .arg(BatchFileMB)
                .arg(reads)
                .arg(decimal(runMs / 1000, 1)),
            mb(runKiB), limit, verdict(met(runKiB)), QStringLiteral("1")});
    return true;
}

bool Bench::measureWatch()
{
    progress("CPU of zarvex watch --interval 10ms");
    QtPtyBoard board;
    if (!startBoard(board, patternFor(0)))
        return false;
    ChildProcess child;
    QString error;
    if (!child.start({m_zarvex, "-d", QFile::encodeName(board.devicePath()), "watch", "--interval",
                      QByteArray::number(WatchIntervalMs) + "ms"},
                     false, &error))
        return giveUp(error);
    const qint64 until = child.startedNs() + qint64(m_options.watchSeconds) * 1000000000;
    for (qint64 now = monotonicNs(); now < until; now = monotonicNs()) {
        if (!child.pump(nullptr, int((until - now) / 1000000) + 1))
            return giveUp(QStringLiteral("zarvex watch ended by itself"));
    }
    const int polls = board.readRequests();
    const double seconds = double(monotonicNs() - child.startedNs()) / 1e9;
    child.sendSignal(SIGTERM);
    if (!child.finish(ChildTimeoutMs) || !child.exitedCleanly() ||
        !child.output().contains(readingText(board)))
        return giveUp(QStringLiteral("zarvex watch did not show the reading and end with exit 0 "
                                     "on SIGTERM"));

    const double percent = 100 * child.cpuMs() / child.wallMs();
    addRow({QStringLiteral("CPU of `zarvex watch --interval %1ms` over %2 s, its "
                           "rusage after SIGTERM, % of one core")
                .arg(WatchIntervalMs)
                .arg(decimal(child.wallMs() / 1000, 1)),
            decimal(percent, 2) + QStringLiteral(" %"),
            QStringLiteral("%1 %").arg(WatchCpuLimitPercent),
            verdict(percent < WatchCpuLimitPercent), QStringLiteral("1")});
    addRow({QStringLiteral("Of that, per read-ports exchange the board answered (%1 "
                           "per second; the schedule is %2)")
                .arg(decimal(polls / seconds, 1))
                .arg(1000 / WatchIntervalMs),
            usText(polls > 0 ? 1000 * child.cpuMs() / polls : 0, 1), QStringLiteral("-"),
            QStringLiteral("-"), QString::number(polls)});
    return true;
}

void Bench::print() const
{
    printReport("zarvex command-line benchmarks", QString(), "this benchmark and its children",
                {QStringLiteral("The emulator runs on a thread of this benchmark; CPU figures are "
                                "the child process's own (wait4), without the emulator.")});
}

} // namespace

int main(int argc, char *argv[])
{
    // A batch child that ended early must fail the measurement, not kill the benchmark; the
    // children get the default action back.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    Options options;
    BenchOptions parser(
        QStringLiteral("Measures the zarvex command-line program against the board emulator and "
                       "prints a markdown table of medians beside their floors and limits."));
    parser.addCount(QStringLiteral("spawn-reps"),
                    QStringLiteral("Processes of each kind: zarvex read, the C program, and both "
                                   "--version"),
                    QStringLiteral("n"), &options.spawnReps);
    parser.addCount(QStringLiteral("batch-reads"), QStringLiteral("`read` lines in each batch"),
                    QStringLiteral("n"), &options.batchReads);
    parser.addCount(QStringLiteral("batch-rounds"),
                    QStringLiteral("Batches, each beside as many raw round trips"),
                    QStringLiteral("n"), &options.batchRounds);
    parser.addCount(QStringLiteral("watch-seconds"), QStringLiteral("Length of the watch run"),
                    QStringLiteral("s"), &options.watchSeconds);
    return runBench<Bench>(app, parser, options);
}
