// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <array>
#include <condition_variable>
#include <mutex>
#include <vector>

class PtyBoard;
class QWidget;
struct rusage;

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
QString number(double value, int decimals);
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
    int count() const;

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
class RawPtyClient
{
public:
    RawPtyClient() = default;
    ~RawPtyClient();
    RawPtyClient(const RawPtyClient &) = delete;
    RawPtyClient &operator=(const RawPtyClient &) = delete;

    bool open(const QString &device, QString *error);
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
