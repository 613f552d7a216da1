// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ptyboard.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

// Turns SIGINT, SIGTERM and SIGHUP into a quit of the event loop, so the link is removed on
// the way out.
bool quitOnSignals(QCoreApplication &app)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        std::array<char, 16> drain;
        while (::read(signalPipe[0], drain.data(), drain.size()) > 0) {
        }
        app.quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    }
    return true;
}

// A symbolic link to the pty, for clients that want a fixed device name. Only a link into
// /dev/pts is taken for one left behind by an earlier run and replaced; the destructor removes
// the link only while it still points at our device.
class DeviceLink
{
public:
    explicit DeviceLink(const QString &path) : m_path(path) {}
    ~DeviceLink() { remove(); }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    bool create(const QString &target, QString *error)
    {
        const QFileInfo existing(m_path);
        if (existing.exists() || existing.isSymLink()) {
            if (!existing.isSymLink() ||
                !existing.symLinkTarget().startsWith(QLatin1String("/dev/pts/"))) {
                *error = QStringLiteral("%1 exists and is not a link to a pty; not touching it")
                             .arg(m_path);
                return false;
            }
        }
        // Made beside the final name and renamed over it, so the path never goes missing.
        const QByteArray path = QFile::encodeName(m_path);
        const QByteArray temporary = path + ".new." + QByteArray::number(::getpid());
        ::unlink(temporary.constData());
        if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0 ||
            ::rename(temporary.constData(), path.constData()) != 0) {
            *error =
                QStringLiteral("cannot create link %1: %2").arg(m_path, qt_error_string(errno));
            ::unlink(temporary.constData());
            return false;
        }
        m_target = target;
        return true;
    }

    void remove()
    {
        if (m_target.isEmpty())
            return;
        if (QFileInfo(m_path).symLinkTarget() == m_target)
            QFile::remove(m_path);
        m_target.clear();
    }

private:
    QString m_path;
    QString m_target;
};

// Flushed at once: whoever started us is likely reading the pipe line by line.
void printLine(const QString &line)
{
    const QByteArray text = line.toLocal8Bit() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

// During Continuous Poll the same read-ports line would come ten times a second and bury the
// commands. A read-ports line that repeats the line just before it, without a pause, is
// counted instead, and the count printed when something else comes or the polling stops.
class CommandLog
{
public:
    explicit CommandLog(bool verbose) : m_verbose(verbose)
    {
        m_pause.setSingleShot(true);
        m_pause.setInterval(PauseMs);
        QObject::connect(&m_pause, &QTimer::timeout, [this] { flushRepeats(); });
    }

    void add(const QString &line)
    {
        const bool repeat = !m_verbose && line == m_last &&
                            line.startsWith(QLatin1String("read-ports")) && m_sinceLast.isValid() &&
                            m_sinceLast.elapsed() < PauseMs;
        m_sinceLast.start();
        if (repeat) {
            ++m_repeats;
            m_pause.start();
            return;
        }
        flushRepeats();
        printLine(line);
        m_last = line;
    }

    void flushRepeats()
    {
        m_pause.stop();
        if (m_repeats == 0)
            return;
        printLine(m_repeats == 1 ? QStringLiteral("(repeated once more)")
                                 : QStringLiteral("(repeated %1 more times)").arg(m_repeats));
        m_repeats = 0;
        m_last.clear(); // what comes after the count starts a run of its own
    }

private:
    static constexpr int PauseMs = 1000;

    bool m_verbose;
    QString m_last;
    int m_repeats = 0;
    QElapsedTimer m_sinceLast;
    QTimer m_pause;
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

// "A=3C" sets port A's input pattern to 0x3C.
bool applyInputPattern(PtyBoard &board, const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('='));
    if (parts.size() != 2 || parts[0].size() != 1)
        return false;
    const auto port = portFromLetter(parts[0].at(0).toUpper().toLatin1());
    QString value = parts[1];
    if (value.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value.remove(0, 2);
    bool ok = false;
    const uint pattern = value.toUInt(&ok, 16);
    if (!port || !ok || value.size() > 2)
        return false;
    board.setInputPattern(*port, quint8(pattern));
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

    // Outlives the board. Lines come from the board's thread and are printed here in order,
    // once the event loop runs, so the device path is always the first line.
    CommandLog log(parser.isSet(verboseOption));
    PtyBoard board;
    for (const QString &input : parser.values(inputOption)) {
        if (!applyInputPattern(board, input))
            return usageError(QStringLiteral("bad --input %1, expected e.g. A=3C").arg(input));
    }
    const std::optional<PtyBoard::ReplyMode> mode = parseReplyMode(parser.value(replyOption));
    if (!mode)
        return usageError(QStringLiteral("bad --reply %1").arg(parser.value(replyOption)));
    board.setReplyMode(*mode);
    bool delayOk = false;
    const int delay = parser.value(delayOption).toInt(&delayOk);
    if (!delayOk || delay < 0)
        return usageError(QStringLiteral("bad --reply-delay %1").arg(parser.value(delayOption)));
    board.setReplyDelay(delay);

    QTimer counter;
    if (parser.isSet(countOption)) {
        const QString port = parser.value(countOption);
        const auto counted =
            port.size() == 1 ? portFromLetter(port.at(0).toUpper().toLatin1()) : std::nullopt;
        if (!counted)
            return usageError(QStringLiteral("bad --count %1, expected A, B or C").arg(port));
        bool intervalOk = false;
        const int interval = parser.value(countIntervalOption).toInt(&intervalOk);
        if (!intervalOk || interval < 1)
            return usageError(
                QStringLiteral("bad --count-interval %1").arg(parser.value(countIntervalOption)));
        counter.setInterval(interval);
        QObject::connect(&counter, &QTimer::timeout, &app, [&board, port = *counted] {
            board.setInputPattern(port, quint8(board.inputPattern(port) + 1));
        });
    }

    if (!parser.isSet(quietOption)) {
        board.setLogHandler([&app, &log](const QString &line) {
            QMetaObject::invokeMethod(
                &app, [&log, line] { log.add(line); }, Qt::QueuedConnection);
        });
    }

    if (!quitOnSignals(app)) {
        err << app.applicationName() << ": cannot handle signals: " << qt_error_string(errno)
            << Qt::endl;
        return 1;
    }
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
    printLine(board.devicePath());
    if (parser.isSet(countOption))
        counter.start();

    const int status = app.exec();
    board.stop();
    QCoreApplication::sendPostedEvents();
    log.flushRepeats();
    return status;
}
