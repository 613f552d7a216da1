// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "benchsupport.h"

#include "ptyboard.h"

#include <QCoreApplication>
#include <QFile>
#include <QMouseEvent>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

qint64 clockNs(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 rusageCpuNs(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return cpuNs(usage);
}

// Files under /proc report a size of 0, so they are read whole rather than up to their "end".
QList<QByteArray> procLines(const char *path)
{
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().split('\n');
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), qt_error_string(errno));
}

} // namespace

qint64 monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

qint64 processCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 cpuNs(const rusage &usage)
{
    const auto ns = [](const timeval &t) {
        return qint64(t.tv_sec) * 1000000000 + t.tv_usec * 1000;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

qint64 peakResidentKiB()
{
    for (const QByteArray &line : procLines("/proc/self/status")) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + values.size() / 2;
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2)
        return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

void click(QWidget *widget)
{
    const QPointF local = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

ArrivalClock::ArrivalClock(PtyBoard &board) : m_board(board)
{
    // The board logs one line per decoded command, outside its lock.
    m_board.setLogHandler([this](const QString &) { onCommand(); });
}

ArrivalClock::~ArrivalClock()
{
    m_board.setLogHandler({});
}

void ArrivalClock::arm(int target)
{
    std::lock_guard lock(m_mutex);
    m_count = 0;
    m_target = target;
    m_arrivedNs = 0;
}

bool ArrivalClock::wait(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return m_arrivedNs != 0; });
}

qint64 ArrivalClock::arrivedNs() const
{
    std::lock_guard lock(m_mutex);
    return m_arrivedNs;
}

int ArrivalClock::count() const
{
    std::lock_guard lock(m_mutex);
    return m_count;
}

void ArrivalClock::onCommand()
{
    const qint64 now = monotonicNs();
    std::lock_guard lock(m_mutex);
    if (++m_count == m_target) {
        m_arrivedNs = now;
        m_arrived.notify_all();
    }
}

RawPtyClient::~RawPtyClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawPtyClient::open(const QString &device, QString *error)
{
    m_fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        *error = systemError("open");
        return false;
    }
    termios settings{};
    if (::tcgetattr(m_fd, &settings) != 0) {
        *error = systemError("tcgetattr");
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetspeed(&settings, B9600);
    if (::tcsetattr(m_fd, TCSANOW, &settings) != 0) {
        *error = systemError("tcsetattr");
        return false;
    }
    ::tcflush(m_fd, TCIOFLUSH);
    return true;
}

QByteArray RawPtyClient::roundTrip(const QByteArray &request, qsizetype replyBytes, int timeoutMs)
{
    if (::write(m_fd, request.constData(), size_t(request.size())) != request.size())
        return {};
    QByteArray reply(replyBytes, Qt::Uninitialized);
    qsizetype got = 0;
    const qint64 deadline = monotonicNs() + qint64(timeoutMs) * 1000000;
    while (got < replyBytes) {
        const qint64 left = deadline - monotonicNs();
        if (left <= 0)
            return {};
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, int((left + 999999) / 1000000)) < 0 && errno != EINTR)
            return {};
        const ssize_t count = ::read(m_fd, reply.data() + got, size_t(replyBytes - got));
        if (count > 0)
            got += count;
        else if (count < 0 && errno != EAGAIN && errno != EINTR)
            return {};
    }
    return reply;
}

MachineLoad::MachineLoad()
{
    readCpuTicks(&m_busyTicks, &m_totalTicks);
    m_ownCpuNs = rusageCpuNs(RUSAGE_SELF) + rusageCpuNs(RUSAGE_CHILDREN);
}

void MachineLoad::measure(double *allPercent, double *ownPercent) const
{
    qint64 busy = 0;
    qint64 total = 0;
    *allPercent = *ownPercent = -1;
    if (!readCpuTicks(&busy, &total) || total <= m_totalTicks)
        return;
    const double ticks = double(total - m_totalTicks);
    *allPercent = 100.0 * double(busy - m_busyTicks) / ticks;
    const qint64 ownNs = rusageCpuNs(RUSAGE_SELF) + rusageCpuNs(RUSAGE_CHILDREN) - m_ownCpuNs;
    const double nsPerTick = 1e9 / double(::sysconf(_SC_CLK_TCK));
    *ownPercent = 100.0 * double(ownNs) / nsPerTick / ticks;
}

bool MachineLoad::readCpuTicks(qint64 *busy, qint64 *total)
{
    const QList<QByteArray> fields = procLines("/proc/stat").value(0).simplified().split(' ');
    // cpu user nice system idle iowait irq softirq steal ...
    if (fields.size() < 9 || fields[0] != "cpu")
        return false;
    *busy = *total = 0;
    for (int i = 1; i < fields.size() && i <= 8; ++i) {
        const qint64 ticks = fields[i].toLongLong();
        *total += ticks;
        if (i != 4 && i != 5)
            *busy += ticks;
    }
    return true;
}

QString machineDescription()
{
    QString model = QStringLiteral("unknown CPU");
    for (const QByteArray &line : procLines("/proc/cpuinfo")) {
        if (line.startsWith("model name")) {
            model = QString::fromUtf8(line.mid(line.indexOf(':') + 1).trimmed());
            break;
        }
    }
    utsname system{};
    ::uname(&system);
    return QStringLiteral("%1, %2 cores, %3 %4 (%5)")
        .arg(model)
        .arg(std::thread::hardware_concurrency())
        .arg(QString::fromUtf8(system.sysname), QString::fromUtf8(system.release),
             QString::fromUtf8(system.machine));
}

QString loadAverage()
{
    const QList<QByteArray> fields = procLines("/proc/loadavg").value(0).split(' ');
    if (fields.size() < 3)
        return QStringLiteral("?");
    return QString::fromLatin1(fields.mid(0, 3).join(' '));
}

BoardReading patternFor(int rep)
{
    const auto a = quint8(rep * 37 + 11);
    return {a, quint8(~a), quint8(a ^ 0x5A)};
}

void setPattern(PtyBoard &board, const BoardReading &pattern)
{
    for (int p = 0; p < 3; ++p)
        board.setInputPattern(Port(p), pattern[p]);
}

BoardReading expectedReply(const PtyBoard &board)
{
    BoardReading reply{};
    for (int p = 0; p < 3; ++p) {
        const Port port = Port(p);
        const quint8 inputs = board.direction(port);
        reply[p] = quint8((inputs & board.inputPattern(port)) | (~inputs & board.output(port)));
    }
    return reply;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("met") : QStringLiteral("**missed**");
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

void printTable(const char *title, const std::vector<Row> &rows)
{
    std::printf("## %s\n\n", title);
    std::printf("| Figure | Median | Limit / floor | Verdict | Repetitions |\n");
    std::printf("|---|---:|---|---|---:|\n");
    for (const Row &row : rows) {
        std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(row.figure), qPrintable(row.median),
                    qPrintable(row.limit), qPrintable(row.verdict), qPrintable(row.reps));
    }
    std::printf("\n");
}
