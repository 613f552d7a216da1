// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "batch.h"

#include "commands.h"
#include "interrupts.h"
#include "output.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest line taken; a longer one is an error of its own.
constexpr qsizetype LongestLine = 64 * 1024;

// Lines of a file descriptor, read as they come; a signal ends the reading.
class LineReader
{
public:
    explicit LineReader(int fd) : m_fd(fd) {}

    // The next line without its end, or nothing at the end of the input.
    std::optional<QByteArray> next()
    {
        for (;;) {
            const qsizetype end = m_buffer.indexOf('\n');
            if (end >= 0) {
                QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                return line;
            }
            if (m_ended || m_buffer.size() > LongestLine) {
                if (m_buffer.isEmpty())
                    return std::nullopt;
                return std::exchange(m_buffer, {});
            }
            if (!Interrupts::waitReadable(m_fd))
                return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                m_ended = true;
            else
                m_buffer.append(chunk, n);
        }
    }

private:
    int m_fd;
    QByteArray m_buffer;
    bool m_ended = false;
};

// A line parsed: blank and comment lines give no command and no error.
struct ParsedLine
{
    std::optional<Command> command;
    QString error;
};

ParsedLine parseLine(const QByteArray &raw, KnownRegisters &known)
{
    ParsedLine parsed;
    if (raw.size() > LongestLine) {
        parsed.error = QStringLiteral("line longer than %1 bytes").arg(LongestLine);
        return parsed;
    }
    QStringList words;
    for (const QString &word :
         QString::fromUtf8(raw).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (word.startsWith(QLatin1Char('#')))
            break;
        words << word;
    }
    if (words.isEmpty())
        return parsed;
    const QString name = words.takeFirst();
    if (!inBatch(name)) {
        parsed.error = QStringLiteral("unknown command \"%1\": a batch line is dir, write, read, "
                                      "expect, wait, reset, sleep, pulse, state or quit")
                           .arg(name);
        return parsed;
    }
    const auto options = parseOptions(words, commandOptions(name), &parsed.error);
    if (!options)
        return parsed;
    parsed.command = parseCommand(name, *options, &parsed.error);
    if (parsed.command && !checkAgainst(*parsed.command, known, &parsed.error))
        parsed.command.reset();
    return parsed;
}

bool isRegularFile(int fd)
{
    struct stat info = {};
    return ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

class Batch
{
public:
    Batch(Output &out, const BatchPlan &plan) : m_out(out), m_plan(plan) {}

    // A reply to the command on `line`.
    void reply(int line, const Reply &reply)
    {
        if (m_out.json()) {
            QJsonObject fields = reply.json();
            fields.insert(QStringLiteral("line"), line);
            m_out.object(reply.type, fields);
        } else if (reply.ok()) {
            m_out.text(reply.text.isEmpty() ? QStringLiteral("ok")
                                            : QStringLiteral("ok ") + reply.text);
        } else {
            m_out.text(QStringLiteral("%1 line %2: %3")
                           .arg(reply.code == ExitCode::ConditionFalse && !reply.signal
                                    ? QStringLiteral("fail")
                                    : QStringLiteral("error"))
                           .arg(line)
                           .arg(reply.problem));
        }
        if (!reply.ok()) {
            Output::diagnostic(QStringLiteral("line %1: %2").arg(line).arg(reply.problem));
            if (m_code == ExitCode::Success)
                m_code = reply.code;
        }
    }

    void parseError(int line, const QString &error)
    {
        reply(line, Reply{QStringLiteral("error"), ExitCode::Usage, {}, {}, error});
    }

    // Runs one line; false when the batch stops here.
    bool run(BoardClient &board, int line, const ParsedLine &parsed)
    {
        if (!parsed.command) {
            if (parsed.error.isEmpty())
                return true; // blank or comment
            parseError(line, parsed.error);
            return m_plan.keepGoing;
        }
        const Command &command = *parsed.command;
        const Reply result = runCommand(board, command, false);
        if (command.sends())
            m_unchecked = true;
        if (result.answered())
            m_unchecked = false;
        reply(line, result);
        if (result.code == ExitCode::PortLost || Interrupts::received() || !m_out.isOpen())
            return false;
        return command.kind != Command::Kind::Quit && (result.ok() || m_plan.keepGoing);
    }

    void finish(BoardClient &board)
    {
        if (!m_plan.checkAtEnd || !m_unchecked || m_code == ExitCode::PortLost ||
            Interrupts::received())
            return;
        // Not a reply to any line: said once, after the last one.
        if (auto failure = board.check()) {
            const Reply reply{QStringLiteral("check"), failure->code, {}, {}, failure->message};
            if (m_out.json())
                m_out.object(reply.type, reply.json());
            else
                m_out.text(QStringLiteral("error at the end: ") + failure->message);
            Output::diagnostic(QStringLiteral("batch: ") + failure->message);
            if (m_code == ExitCode::Success)
                m_code = failure->code;
        }
    }

    ExitCode code() const { return m_code; }

private:
    Output &m_out;
    const BatchPlan &m_plan;
    ExitCode m_code = ExitCode::Success;
    bool m_unchecked = false; // commands were sent since the board last answered
};

} // namespace

ExitCode runBatch(const std::optional<PortChoice> &port, Output &out, const BatchPlan &plan)
{
    int fd = STDIN_FILENO;
    const bool fromFile = !plan.file.isEmpty() && plan.file != QLatin1String("-");
    if (fromFile) {
        fd = ::open(QFile::encodeName(plan.file).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            Output::diagnostic(
                QStringLiteral("batch: cannot read %1: %2").arg(plan.file, qt_error_string(errno)));
            return ExitCode::Usage;
        }
    }
    struct Closer
    {
        int fd;
        ~Closer()
        {
            if (fd != STDIN_FILENO)
                ::close(fd);
        }
    } closer{fd};
    LineReader reader(fd);
    KnownRegisters known;

    // A file is read and checked whole first: a mistake on its last line opens nothing.
    QList<ParsedLine> lines;
    const bool checkFirst = plan.checkOnly || isRegularFile(fd);
    if (checkFirst) {
        bool bad = false;
        while (const auto raw = reader.next()) {
            lines << parseLine(*raw, known);
            if (!lines.constLast().error.isEmpty()) {
                Output::diagnostic(
                    QStringLiteral("line %1: %2").arg(lines.size()).arg(lines.constLast().error));
                bad = true;
            }
        }
        if (Interrupts::received())
            return ExitCode::Success;
        if (bad)
            return ExitCode::Usage;
        if (plan.checkOnly)
            return ExitCode::Success;
    }
    if (!port) {
        Output::diagnostic(QStringLiteral("batch: no port given: use -p N, -d PATH or set "
                                          "ZARVEX_PORT"));
        return ExitCode::Usage;
    }

    BoardClient board(*port);
    if (auto failure = board.open()) {
        Output::diagnostic(failure->message);
        return failure->code;
    }
    QJsonObject open{{QStringLiteral("path"), board.path()},
                     {QStringLiteral("device"), board.device()}};
    if (port->number > 0)
        open.insert(QStringLiteral("number"), port->number);
    out.result(board.path() == board.device()
                   ? QStringLiteral("open %1").arg(board.path())
                   : QStringLiteral("open %1 -> %2").arg(board.path(), board.device()),
               QStringLiteral("open"), open);

    Batch batch(out, plan);
    if (checkFirst) {
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (!batch.run(board, int(i + 1), lines[i]))
                break;
        }
    } else {
        int number = 0;
        while (const auto raw = reader.next()) {
            if (!batch.run(board, ++number, parseLine(*raw, known)))
                break;
        }
    }
    batch.finish(board);
    board.close();
    return batch.code();
}
