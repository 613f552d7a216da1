// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "common/devicelink.h"
#include "common/endingsignals.h"
#include "ptyboard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

namespace {

// The log, written by a thread of its own so that a reader who stops reading never stalls
// the board. Lines wait in a bounded queue; when it is full, lines are dropped and their
// count printed once output moves again. A closed output ends the log, not the emulator.
//
// During Continuous Poll the same read-ports line would come ten times a second and bury the
// commands. A read-ports line that repeats the line just before it, without a pause, is
// counted instead, and the count printed when something else comes or the polling stops.
class CommandLog
{
public:
    explicit CommandLog(bool verbose) : m_verbose(verbose) {}
    ~CommandLog() { finish(); }
    CommandLog(const CommandLog &) = delete;
    CommandLog &operator=(const CommandLog &) = delete;

    // Starts writing, `first` ahead of whatever came before.
    void start(const QString &first)
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_front(first.toLocal8Bit() + '\n');
        m_thread = std::thread(&CommandLog::run, this);
    }

    // From any thread; never waits for the output.
    void add(const QString &line)
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        const bool repeat = !m_verbose && line == m_last &&
                            line.startsWith(QLatin1String("read-ports")) && now - m_lastAt < Pause;
        m_lastAt = now;
        if (repeat) {
            ++m_repeats;
            m_wake.notify_one(); // to wait out the pause
            return;
        }
        flushRepeatsLocked();
        queueLocked(line);
        m_last = line;
    }

    // Writes out what is queued and stops, or gives up on an output that takes nothing for
    // a second: the process is ending and must not hang on a reader that went away.
    void finish()
    {
        std::unique_lock lock(m_mutex);
        if (!m_thread.joinable())
            return;
        flushRepeatsLocked();
        m_stopping = true;
        m_wake.notify_one();
        qint64 written = -1;
        while (written != m_written) {
            written = m_written;
            if (m_idle.wait_for(lock, std::chrono::seconds(1), [this] { return m_done; })) {
                lock.unlock();
                m_thread.join();
                return;
            }
        }
        // Stuck in write(): the thread stays blocked, with this object, until the process ends.
        m_thread.detach();
        m_leaked = true;
    }

    bool leaked() const { return m_leaked; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr auto Pause = std::chrono::seconds(1);
    static constexpr size_t MaxQueuedLines = 10000;

    void flushRepeatsLocked()
    {
        if (m_repeats == 0)
            return;
        queueLocked(m_repeats == 1 ? QStringLiteral("(repeated once more)")
                                   : QStringLiteral("(repeated %1 more times)").arg(m_repeats));
        m_repeats = 0;
        m_last.clear(); // what comes after the count starts a run of its own
    }

    void queueLocked(const QString &line)
    {
        if (m_broken)
            return;
        if (m_queue.size() >= MaxQueuedLines) {
            ++m_dropped;
            return;
        }
        queueDroppedLocked();
        m_queue.push_back(line.toLocal8Bit() + '\n');
        m_wake.notify_one();
    }

    void queueDroppedLocked()
    {
        if (m_dropped == 0)
            return;
        m_queue.push_back('(' + QByteArray::number(m_dropped) +
                          " lines dropped: the log was not read in time)\n");
        m_dropped = 0;
    }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_repeats > 0 && Clock::now() - m_lastAt >= Pause)
                flushRepeatsLocked();
            if (m_queue.empty())
                queueDroppedLocked();
            if (m_queue.empty()) {
                if (m_stopping)
                    break;
                if (m_repeats > 0)
                    m_wake.wait_until(lock, m_lastAt + Pause);
                else
                    m_wake.wait(lock);
                continue;
            }
            std::deque<QByteArray> lines;
            lines.swap(m_queue);
            lock.unlock();
            const bool ok = writeAll(lines);
            lock.lock();
            if (!ok) {
                m_broken = true;
                m_queue.clear();
                m_dropped = 0;
                break;
            }
        }
        m_done = true;
        m_idle.notify_all();
    }

    bool writeAll(const std::deque<QByteArray> &lines)
    {
        for (const QByteArray &line : lines) {
            for (qsizetype at = 0; at < line.size();) {
                const ssize_t count =
                    ::write(STDOUT_FILENO, line.constData() + at, size_t(line.size() - at));
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    return false;
                at += count;
                std::lock_guard lock(m_mutex);
                m_written += count;
            }
        }
        return true;
    }

    const bool m_verbose;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::thread m_thread;
    std::deque<QByteArray> m_queue;
    qint64 m_dropped = 0;
    qint64 m_written = 0;
    bool m_stopping = false;
    bool m_done = false;
    bool m_broken = false;
    bool m_leaked = false;
    QString m_last;
    int m_repeats = 0;
    Clock::time_point m_lastAt;
};

std::optional<PtyBoard::ReplyMode> parseReplyMode(const QString &text)
{
    using Mode = PtyBoard::ReplyMode;
    const QString mode = text.toLower();
    if (mode == QLatin1String("normal"))
        return Mode::Normal;
    if (mode == QLatin1String("short"))
        return Mode::Short;
    if (mode == QLatin1String("extra"))
        return Mode::Extra;
    if (mode == QLatin1String("silent"))
        return Mode::Silent;
    if (mode == QLatin1String("double"))
        return Mode::Double;
    return std::nullopt;
}

// Digits of `base` and nothing else: QString::toUInt() would also take a sign, spaces around
// the number and a 0x prefix, none of which a user who typed them meant as a number.
std::optional<uint> parseDigits(const QString &text, int base, int maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return std::nullopt;
    for (const QChar c : text) {
        const bool digit = c.isDigit() && c.unicode() < 0x80;
        const bool hexLetter = base == 16 && ((c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                                              (c >= QLatin1Char('A') && c <= QLatin1Char('F')));
        if (!digit && !hexLetter)
            return std::nullopt;
    }
    return text.toUInt(nullptr, base);
}

// Milliseconds, at most a day.
std::optional<int> parseMs(const QString &text)
{
    const std::optional<uint> ms = parseDigits(text, 10, 8);
    if (!ms || *ms > 86400000)
        return std::nullopt;
    return int(*ms);
}

// "A=3C" or "a=0x3c" sets port A's input pattern to 0x3C.
bool applyInputPattern(PtyBoard &board, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('='));
    if (parts.size() != 2 || parts[0].size() != 1)
        return false;
    const auto port = portFromLetter(parts[0].at(0).toUpper().toLatin1());
    QString value = parts[1];
    if (value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value.remove(0, 2);
    const std::optional<uint> pattern = parseDigits(value, 16, 2);
    if (!port || !pattern)
        return false;
    board.setInputPattern(*port, quint8(*pattern));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zarvex-board-emulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARVEX_VERSION_TEXT));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves an emulated Zarvex board on a pseudo-terminal. The first line printed is the "
        "device to open; each decoded command is logged after it, e.g. \"set-direction A FE\", "
        "\"write-port B 05\", \"read-ports -> 01 80 FF\". A read-ports line that repeats the "
        "one before it is counted, not printed again, unless --verbose.\n\n"
        "Example, as root, to answer as port number 3 with a counter on port C:\n"
        "  zarvex-board-emulator --link /dev/com3 --input A=5A --count C"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption linkOption(
        QStringLiteral("link"), QStringLiteral("Create a symbolic link <path> to the device."),
        QStringLiteral("path"));
    const QCommandLineOption inputOption(
        QStringLiteral("input"),
        QStringLiteral("Input pattern of a port, e.g. A=3C (hex). May be repeated."),
        QStringLiteral("port=hex"));
    const QCommandLineOption replyOption(
        QStringLiteral("reply"),
        QStringLiteral("Answer to read-ports: normal, short, extra, double or silent."),
        QStringLiteral("mode"), QStringLiteral("normal"));
    const QCommandLineOption delayOption(
        QStringLiteral("reply-delay"),
        QStringLiteral("Send each read-ports reply <ms> milliseconds late."), QStringLiteral("ms"),
        QStringLiteral("0"));
    const QCommandLineOption countOption(
        QStringLiteral("count"),
        QStringLiteral("Live inputs: the input pattern of <port> counts up by one every "
                       "--count-interval milliseconds, so polling shows movement."),
        QStringLiteral("port"));
    const QCommandLineOption countIntervalOption(QStringLiteral("count-interval"),
                                                 QStringLiteral("Step time of --count."),
                                                 QStringLiteral("ms"), QStringLiteral("250"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Do not log decoded commands."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"),
        QStringLiteral("Log every read-ports, also one that repeats the line before it."));
    parser.addOptions({linkOption, inputOption, replyOption, delayOption, countOption,
                       countIntervalOption, quietOption, verboseOption});
    parser.process(app);

    QTextStream err(stderr);
    const auto usageError = [&](const QString &message) {
        err << app.applicationName() << ": " << message << Qt::endl;
        return 2;
    };
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1")
                              .arg(parser.positionalArguments().constFirst()));

    // Outlives the board, whose thread hands it the lines.
    auto log = std::make_unique<CommandLog>(parser.isSet(verboseOption));
    PtyBoard board;
    // Nothing reads back what the host sent; kept, it would grow with every byte.
    board.setRecording(false);
    for (const QString &input : parser.values(inputOption)) {
        if (!applyInputPattern(board, input))
            return usageError(QStringLiteral("bad --input %1, expected e.g. A=3C").arg(input));
    }
    const std::optional<PtyBoard::ReplyMode> mode = parseReplyMode(parser.value(replyOption));
    if (!mode)
        return usageError(QStringLiteral("bad --reply %1").arg(parser.value(replyOption)));
    board.setReplyMode(*mode);
    const std::optional<int> delay = parseMs(parser.value(delayOption));
    if (!delay)
        return usageError(QStringLiteral("bad --reply-delay %1").arg(parser.value(delayOption)));
    board.setReplyDelay(*delay);

    QTimer counter;
    if (parser.isSet(countOption)) {
        const QString port = parser.value(countOption);
        const auto counted =
            port.size() == 1 ? portFromLetter(port.at(0).toUpper().toLatin1()) : std::nullopt;
        if (!counted)
            return usageError(QStringLiteral("bad --count %1, expected A, B or C").arg(port));
        const std::optional<int> interval = parseMs(parser.value(countIntervalOption));
        if (!interval || *interval < 1)
            return usageError(
                QStringLiteral("bad --count-interval %1").arg(parser.value(countIntervalOption)));
        counter.setInterval(*interval);
        QObject::connect(&counter, &QTimer::timeout, &app, [&board, port = *counted] {
            board.setInputPattern(port, quint8(board.inputPattern(port) + 1));
        });
    }

    if (!parser.isSet(quietOption))
        board.setLogHandler([log = log.get()](const QString &line) { log->add(line); });

    // A reader that went away must not end us before the link is removed; its write fails
    // with EPIPE instead, and the log stops.
    std::signal(SIGPIPE, SIG_IGN);
    if (!EndingSignals::install()) {
        err << app.applicationName() << ": cannot handle signals: " << qt_error_string(errno)
            << Qt::endl;
        return 1;
    }
    QSocketNotifier endingNotifier(EndingSignals::fd(), QSocketNotifier::Read);
    QObject::connect(&endingNotifier, &QSocketNotifier::activated, &app, [] {
        EndingSignals::drain();
        QCoreApplication::quit();
    });
    std::optional<DeviceLink> link;
    QString error;
    if (!board.start(&error)) {
        err << app.applicationName() << ": " << error << Qt::endl;
        return 1;
    }
    if (parser.isSet(linkOption)) {
        link.emplace(parser.value(linkOption));
        if (!link->create(board.devicePath(), &error)) {
            err << app.applicationName() << ": " << error << Qt::endl;
            return 1;
        }
    }
    log->start(board.devicePath());
    if (parser.isSet(countOption))
        counter.start();

    const int status = app.exec();
    EndingSignals::restore(true);
    board.stop();
    link.reset();
    log->finish();
    if (log->leaked())
        (void)log.release(); // its thread is still blocked writing to it
    return status;
}
