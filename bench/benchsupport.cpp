// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "benchsupport.h"

#include "common/posixcalls.h"

#include "ptyboard.h"

#include <QCoreApplication>
#include <QFile>
#include <QMouseEvent>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

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
    m_board.setLogHandler([this](const std::string &) { onCommand(); });
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

int ArrivalClock::arrivedCount() const
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

RawClient::~RawClient()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RawClient::open(const QString &device, QString *error)
{
    m_fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        *error = QString::fromStdString(systemError("open"));
        return false;
    }
    termios settings{};
    if (::tcgetattr(m_fd, &settings) != 0) {
        *error = QString::fromStdString(systemError("tcgetattr"));
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetspeed(&settings, B9600);
    if (::tcsetattr(m_fd, TCSANOW, &settings) != 0) {
        *error = QString::fromStdString(systemError("tcsetattr"));
        return false;
    }
    ::tcflush(m_fd, TCIOFLUSH);
    return true;
}

bool RawClient::connectLoopback(quint16 port, QString *error)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const int on = 1;
    if (m_fd < 0 || ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        *error = QString::fromStdString(systemError("socket"));
        return false;
    }
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        pollfd connecting{m_fd, POLLOUT, 0};
        int failure = errno;
        socklen_t length = sizeof failure;
        if (failure != EINPROGRESS || ::poll(&connecting, 1, 1000) != 1 ||
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0 || failure != 0) {
            errno = failure;
            *error = QString::fromStdString(systemError("connect"));
            return false;
        }
    }
    return true;
}

QByteArray RawClient::roundTrip(const QByteArray &request, qsizetype replyBytes, int timeoutMs)
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

QString decimal(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString msText(double ms, int decimals)
{
    return decimal(ms, decimals) + QStringLiteral(" ms");
}

QString usText(double us, int decimals)
{
    return decimal(us, decimals) + QStringLiteral(" µs");
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

BenchOptions::BenchOptions(const QString &description)
{
    m_parser.setApplicationDescription(description);
    m_parser.addHelpOption();
}

void BenchOptions::addCount(const QString &name, const QString &description,
                            const QString &valueName, int *value)
{
    const QString defaultValue = QString::number(*value);
    QCommandLineOption option(name,
                              QStringLiteral("%1 (default %2).").arg(description, defaultValue),
                              valueName, defaultValue);
    m_parser.addOption(option);
    m_counts.emplace_back(option, value);
}

bool BenchOptions::parse(const QCoreApplication &app)
{
    m_parser.process(app);
    for (const auto &[option, value] : m_counts) {
        bool ok = false;
        *value = m_parser.value(option).toInt(&ok);
        if (!ok || *value < 1) {
            std::fprintf(stderr, "%s: --%s needs a whole number of at least 1\n",
                         qPrintable(QCoreApplication::applicationName()),
                         qPrintable(option.names().constFirst()));
            return false;
        }
    }
    return true;
}

bool BenchRun::run()
{
    const bool ok = measure();
    m_load.measure(&m_busyPercent, &m_ownPercent);
    m_loadAfter = loadAverage();
    return ok;
}

bool BenchRun::giveUp(const QString &what)
{
    if (m_error.isEmpty())
        m_error = what;
    return false;
}

void BenchRun::progress(const char *what) const
{
    std::fprintf(stderr, "%s: %s\n", m_program, what);
}

bool BenchRun::startBoard(PtyBoard &board)
{
    std::string error;
    return board.start(&error) ||
           giveUp(QStringLiteral("the emulator did not start: ") + QString::fromStdString(error));
}

void BenchRun::printReport(const char *title, const QString &machineNote, const char *own,
                           const QStringList &notes) const
{
    printTable(title, m_rows);
    std::printf("- Machine: %s%s.\n", qPrintable(machineDescription()), qPrintable(machineNote));
    std::printf("- Load: the cores were %s%% busy during the run, %s%% of them with %s; load "
                "average %s before, %s after.\n",
                qPrintable(decimal(m_busyPercent, 0)), qPrintable(decimal(m_ownPercent, 0)), own,
                qPrintable(m_loadBefore), qPrintable(m_loadAfter));
    for (const QString &note : notes)
        std::printf("- %s\n", qPrintable(note));
}

bool BenchRun::compareRates(int rounds, const RateRun &rate, const RateRun &floor,
                            const std::function<void(int)> &prepare, const QString &rateFigure,
                            const QString &floorFigure, double ratio, const QString &reps)
{
    std::vector<double> rateRuns;
    std::vector<double> floorRuns;
    for (int round = 0; round < rounds; ++round) {
        if (prepare)
            prepare(round);
        double r = 0;
        double f = 0;
        const bool ok = round % 2 ? floor(&f) && rate(&r) : rate(&r) && floor(&f);
        if (!ok)
            return false;
        rateRuns.push_back(r);
        floorRuns.push_back(f);
    }
    const double floorRate = median(floorRuns);
    const double rateMedian = median(rateRuns);
    addRow({floorFigure, decimal(floorRate, 0) + QStringLiteral(" /s"), QStringLiteral("(floor)"),
            QStringLiteral("-"), reps});
    addRow({rateFigure,
            decimal(rateMedian, 0) +
                QStringLiteral(" /s (%1 x floor)").arg(decimal(rateMedian / floorRate, 2)),
            QStringLiteral("%1 x floor = %2 /s").arg(ratio).arg(decimal(ratio * floorRate, 0)),
            verdict(rateMedian >= ratio * floorRate), reps});
    return true;
}

bool BenchRun::timeBatchReads(const QByteArrayList &argv, int reads, const QByteArray &replyLine,
                              double *perSecond)
{
    constexpr int TimeoutMs = 30000;
    ChildProcess child;
    QString error;
    if (!child.start(argv, true, &error))
        return giveUp(error);
    const qint64 until = monotonicNs() + qint64(TimeoutMs) * 1000000;
    while (child.lines() < 1 && monotonicNs() < until && child.pump(nullptr, 100)) {
    }
    if (!child.output().startsWith("open "))
        return giveUp(QStringLiteral("zarvex batch did not open %1").arg(QString(argv.value(2))));
    const qsizetype opened = child.output().size();
    QByteArray pending = QByteArrayLiteral("read\n").repeated(reads);
    const qint64 start = monotonicNs();
    while (child.lines() < reads + 1 && child.pump(&pending, TimeoutMs)) {
    }
    const qint64 end = monotonicNs();
    child.closeInput();
    if (!child.finish(TimeoutMs) || !child.exitedCleanly() ||
        child.output().mid(opened) != replyLine.repeated(reads))
        return giveUp(QStringLiteral("zarvex batch did not give %1 right replies").arg(reads));
    *perSecond = reads / (double(end - start) / 1e9);
    return true;
}

int runBench(BenchRun &bench)
{
    if (!bench.run()) {
        std::fprintf(stderr, "%s: broken run: %s\n", bench.program(), qPrintable(bench.error()));
        return 1;
    }
    bench.print();
    return 0;
}

ChildProcess::~ChildProcess()
{
    closeInput();
    if (m_out >= 0)
        ::close(m_out);
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool ChildProcess::start(const QByteArrayList &argv, bool withInput, QString *error)
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

bool ChildProcess::pump(QByteArray *pending, int timeoutMs)
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

void ChildProcess::closeInput()
{
    if (m_in >= 0)
        ::close(m_in);
    m_in = -1;
}

void ChildProcess::sendSignal(int number) const
{
    if (m_pid > 0)
        ::kill(m_pid, number);
}

bool ChildProcess::finish(int timeoutMs)
{
    closeInput();
    if (m_pid <= 0)
        return false;
    const qint64 until = monotonicNs() + qint64(timeoutMs) * 1000000;
    bool inTime = true;
    while (m_out >= 0) {
        const qint64 left = until - monotonicNs();
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

bool ChildProcess::exitedCleanly() const
{
    return WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0;
}
