// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArrayList>
#include <QCommandLineParser>
#include <QString>

#include <array>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

class PtyBoard;
class QCoreApplication;
class QWidget;

// CLOCK_MONOTONIC, comparable between processes on the same machine.
qint64 monotonicNs();
// CPU time of the whole process, all threads together.
qint64 processCpuNs();
// User and system time of a getrusage() or wait4() record together.
qint64 cpuNs(const rusage &usage);
// Peak resident set of this process (VmHWM), in KiB; -1 when unknown.
qint64 peakResidentKiB();

double median(std::vector<double> values);

// The inputs of ports A, B and C.
using BoardReading = std::array<quint8, 3>;
// A different input pattern for each repetition, so a stale reply shows.
BoardReading patternFor(int rep);
void setPattern(PtyBoard &board, const BoardReading &pattern);
// What the board answers: input lines read the pattern, output lines their output bit.
BoardReading expectedReply(const PtyBoard &board);

// One line of the printed table.
struct Row
{
    QString figure;
    QString median;
    QString limit;
    QString verdict;
    QString reps;
};
QString verdict(bool met);
QString decimal(double value, int decimals);
// A figure with its unit, as the tables print them: "1.25 ms", "3.0 µs".
QString msText(double ms, int decimals);
QString usText(double us, int decimals);
// The title and the table, in markdown, on standard output.
void printTable(const char *title, const std::vector<Row> &rows);

// A left-button press and release at the widget's centre, through the widget's own event
// handling, as a user's click arrives.
void click(QWidget *widget);

// Counts the commands the emulator decodes and notes the moment the expected one arrived,
// on the emulator's own thread, so waking the waiting thread is not part of the figure.
class ArrivalClock
{
public:
    explicit ArrivalClock(PtyBoard &board);
    ~ArrivalClock();
    ArrivalClock(const ArrivalClock &) = delete;
    ArrivalClock &operator=(const ArrivalClock &) = delete;

    // Starts counting afresh, to stop the clock at the target-th command.
    void arm(int target);
    // False when fewer than the target arrived in time.
    bool wait(int timeoutMs);
    qint64 arrivedNs() const;
    int arrivedCount() const;

private:
    void onCommand();

    PtyBoard &m_board;
    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    int m_count = 0;
    int m_target = 0;
    qint64 m_arrivedNs = 0;
};

// The far side of a pseudo-terminal held with nothing but POSIX calls in raw mode: what a
// round trip costs without any serial layer.
class RawClient
{
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient &) = delete;
    RawClient &operator=(const RawClient &) = delete;

    // A pty or serial device, raw at 9600 8N1.
    bool open(const QString &device, QString *error);
    // A TCP port on 127.0.0.1, without delay (TCP_NODELAY).
    bool connectLoopback(quint16 port, QString *error);
    // Writes `request` in one write and reads until replyBytes came back. Returns the reply,
    // or an empty array when it did not come whole in time.
    QByteArray roundTrip(const QByteArray &request, qsizetype replyBytes, int timeoutMs);

private:
    int m_fd = -1;
};

// Who else used the machine while the benchmark ran: /proc/stat against our own use.
class MachineLoad
{
public:
    MachineLoad();
    // Busy share of all cores since construction, in percent: everything, and what this
    // process and its children used.
    void measure(double *allPercent, double *ownPercent) const;

private:
    static bool readCpuTicks(qint64 *busy, qint64 *total);

    qint64 m_busyTicks = 0;
    qint64 m_totalTicks = 0;
    qint64 m_ownCpuNs = 0;
};

// "AMD EPYC, 2 cores, Linux 6.1.0" and the like.
QString machineDescription();
QString loadAverage();

// The command line of a benchmark: options that are counts, each a whole number of at
// least 1, through QCommandLineParser.
class BenchOptions
{
public:
    explicit BenchOptions(const QString &description);

    // `value` holds the default and receives what was given.
    void addCount(const QString &name, const QString &description, const QString &valueName,
                  int *value);
    // False, with a message on stderr, for a value that is not a count.
    bool parse(const QCoreApplication &app);

private:
    QCommandLineParser m_parser;
    std::vector<std::pair<QCommandLineOption, int *>> m_counts;
};

// What every benchmark run shares: the first error, progress on stderr, the table's rows,
// and how busy the machine was meanwhile. A benchmark derives from it and measures in
// measure(); main() hands it to runBench().
class BenchRun
{
public:
    explicit BenchRun(const char *program) : m_program(program) {}
    virtual ~BenchRun() = default;
    BenchRun(const BenchRun &) = delete;
    BenchRun &operator=(const BenchRun &) = delete;

    bool run();
    QString error() const { return m_error; }
    const char *program() const { return m_program; }
    virtual void print() const = 0;

protected:
    virtual bool measure() = 0;
    bool giveUp(const QString &what);
    void progress(const char *what) const;
    bool startBoard(PtyBoard &board);
    void addRow(Row row) { m_rows.push_back(std::move(row)); }
    // `rounds` rounds of a rate and its floor, each going first in turn (`prepare` runs before
    // each round), then the floor's row and the rate's row beside `ratio` x the floor.
    using RateRun = std::function<bool(double *perSecond)>;
    bool compareRates(int rounds, const RateRun &rate, const RateRun &floor,
                      const std::function<void(int round)> &prepare, const QString &rateFigure,
                      const QString &floorFigure, double ratio, const QString &reps);
    // One `zarvex ... batch` run: waits for its open line, pipes in `reads` read lines and
    // times them from the first written to the last reply read, every reply `replyLine`.
    bool timeBatchReads(const QByteArrayList &argv, int reads, const QByteArray &replyLine,
                        double *perSecond);
    // The table, the machine (with `machineNote` after it) and the load, then each note
    // as a line of its own. `own` names who the own share of the load is.
    void printReport(const char *title, const QString &machineNote, const char *own,
                     const QStringList &notes) const;

private:
    const char *m_program;
    QString m_error;
    std::vector<Row> m_rows;
    MachineLoad m_load;
    QString m_loadBefore = loadAverage();
    QString m_loadAfter;
    double m_busyPercent = -1;
    double m_ownPercent = -1;
};

// Runs and prints; the exit status: 0, or 1 with the reason on stderr when a measurement
// could not be made.
int runBench(BenchRun &bench);

// The end of every benchmark's main(): the counts from the command line into options, then
// the Bench made from them, run and printed. 2 for a bad command line.
template<typename Bench, typename Options>
int runBench(const QCoreApplication &app, BenchOptions &parser, const Options &options)
{
    if (!parser.parse(app))
        return 2;
    Bench bench(options);
    return runBench(bench);
}

// A program started with posix_spawn, as from a shell (default signal actions, nothing
// blocked), its standard output on a pipe and its standard input on a pipe or /dev/null.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool start(const QByteArrayList &argv, bool withInput, QString *error);
    // Writes what the pipe takes of `pending` and reads what came, waiting at most timeoutMs
    // for either. False once the output ended.
    bool pump(QByteArray *pending, int timeoutMs);
    void closeInput();
    void sendSignal(int number) const;
    // Reads the output to its end and reaps the child; a child still running after
    // timeoutMs is killed and false returned.
    bool finish(int timeoutMs);

    bool exitedCleanly() const;
    int status() const { return m_status; }
    const QByteArray &output() const { return m_output; }
    qsizetype lines() const { return m_lines; }
    qint64 startedNs() const { return m_startedNs; }
    double wallMs() const { return double(m_endedNs - m_startedNs) / 1e6; }
    double cpuMs() const { return double(cpuNs(m_usage)) / 1e6; }
    // Its peak resident set, from wait4, in KiB.
    qint64 maxResidentKiB() const { return m_usage.ru_maxrss; }

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
