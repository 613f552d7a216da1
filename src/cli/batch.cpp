// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "batch.h"

#include "boardclient.h"
#include "commands.h"
#include "commandtable.h"
#include "device/systemerror.h"
#include "diagnostic.h"
#include "interrupts.h"
#include "output.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest line taken; a longer one is an error of its own, unless it is blank or a comment.
constexpr std::size_t LongestLine = 64 * 1024;
// The longest a reply waits for the replies after it to leave together.
constexpr std::int64_t HeldRepliesMs = 20;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// The length of the white space that begins at `at` in valid UTF-8, or 0: ASCII white space and
// Unicode's separators (the no-break space, the em space, the line separator, ...).
std::size_t spaceAt(const std::string &text, std::size_t at)
{
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    if (isBlank(text[at]) || text[at] == '\n')
        return 1;
    if (byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0))
        return 2;
    const std::uint32_t code =
        byte(0) >= 0xE0 && byte(0) <= 0xEF
            ? ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu)
            : 0;
    const bool space = code == 0x1680 || (code >= 0x2000 && code <= 0x200A) || code == 0x2028 ||
                       code == 0x2029 || code == 0x202F || code == 0x205F || code == 0x3000;
    return space ? 3 : 0;
}

// Lines of a file descriptor, each whole, read as they come; a signal ends the reading. A line
// longer than LongestLine is skipped to its end without being held, so memory stays bounded
// whatever the input.
class LineReader
{
public:
    struct Line
    {
        std::string text; // without "\n" or "\r\n"
        bool tooLong = false;
    };

    // whileOutputLasts: the reading also ends when the reader of standard output went away.
    LineReader(int fd, bool whileOutputLasts) : m_fd(fd), m_whileOutputLasts(whileOutputLasts) {}

    // The next line, or nothing at the end of the input, on a signal or on a read error.
    std::optional<Line> next()
    {
        for (;;) {
            const auto newline = m_buffer.find('\n', m_scanned);
            if (newline != std::string::npos ||
                (m_ended && (m_start < m_buffer.size() || m_skipping))) {
                const std::size_t end = newline != std::string::npos ? newline : m_buffer.size();
                const std::size_t size =
                    end - m_start - (end > m_start && m_buffer[end - 1] == '\r');
                Line line;
                if (m_skipping || size > LongestLine) {
                    note(m_buffer.data() + m_start, size);
                    line = endOfSkipped();
                } else {
                    line.text = m_buffer.substr(m_start, size);
                    // A file that an editor began with a byte-order mark.
                    if (m_lines == 0 && line.text.starts_with(ByteOrderMark))
                        line.text.erase(0, ByteOrderMark.size());
                }
                ++m_lines;
                m_start = m_scanned = end + 1;
                return line;
            }
            if (m_ended || m_error != 0)
                return std::nullopt;
            m_scanned = m_buffer.size();
            if (m_scanned - m_start > LongestLine) {
                // Only what decides between a comment and a long line is kept of it.
                note(m_buffer.data() + m_start, m_scanned - m_start);
                m_skipping = true;
                m_start = m_scanned;
            }
            m_buffer.erase(0, m_start);
            m_scanned -= m_start;
            m_start = 0;
            if (!Interrupts::waitReadable(m_fd, m_whileOutputLasts))
                return std::nullopt;
            const std::size_t had = m_buffer.size();
            m_buffer.resize(had + ChunkSize);
            const ssize_t n = ::read(m_fd, m_buffer.data() + had, ChunkSize);
            m_buffer.resize(had + std::size_t(std::max<ssize_t>(n, 0)));
            if (n == 0)
                m_ended = true;
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                m_error = errno;
        }
    }

    // The errno of a failed read, or 0.
    int error() const { return m_error; }
    // Whether the next line is here already, so next() returns it without waiting.
    bool hasLine() const { return m_buffer.find('\n', m_scanned) != std::string::npos; }

private:
    static constexpr std::size_t ChunkSize = 64 * 1024;

    enum class Start { Blank, Comment, Command };

    // The next piece of an over-long line: what it is, blank so far, a comment, or a command
    // too long to run, is all that is kept of it.
    void note(const char *bytes, std::size_t size)
    {
        for (std::size_t i = 0; m_skippedStart == Start::Blank && i < size; ++i) {
            if (!isBlank(bytes[i]))
                m_skippedStart = bytes[i] == '#' ? Start::Comment : Start::Command;
        }
    }

    // A blank or comment line of any length is an empty line; a long command is refused.
    Line endOfSkipped()
    {
        Line line;
        line.tooLong = m_skippedStart == Start::Command;
        m_skippedStart = Start::Blank;
        m_skipping = false;
        return line;
    }

    static constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

    int m_fd;
    bool m_whileOutputLasts;
    std::int64_t m_lines = 0;
    std::string m_buffer;
    std::size_t m_start = 0;   // where the next line begins in m_buffer
    std::size_t m_scanned = 0; // no '\n' from m_start up to here
    bool m_skipping = false;   // the line at m_start began before it, and is too long already
    Start m_skippedStart = Start::Blank;
    bool m_ended = false;
    int m_error = 0;
};

// A line parsed: blank and comment lines give no command and no error.
struct ParsedLine
{
    std::optional<Command> command;
    std::string error;
};

std::string tooLongText()
{
    return "line longer than " + std::to_string(LongestLine) + " bytes";
}

ParsedLine parseLine(const std::string &raw, KnownRegisters &known, const BoardFile *board)
{
    ParsedLine parsed;
    if (raw.size() > LongestLine) {
        parsed.error = tooLongText();
        return parsed;
    }
    std::vector<std::string> words;
    const std::string text = validUtf8(raw);
    for (std::size_t at = 0; at < text.size();) {
        if (const std::size_t space = spaceAt(text, at)) {
            at += space;
            continue;
        }
        const std::size_t start = at;
        while (at < text.size() && spaceAt(text, at) == 0)
            ++at;
        if (text[start] == '#')
            break;
        words.push_back(text.substr(start, at - start));
    }
    if (words.empty())
        return parsed;
    parsed.command = parseBatchLine(words, &parsed.error, board);
    if (parsed.command && !checkAgainst(*parsed.command, known, &parsed.error))
        parsed.command.reset();
    return parsed;
}

ParsedLine parse(const LineReader::Line &line, KnownRegisters &known, const BoardFile *board)
{
    if (line.tooLong)
        return {std::nullopt, tooLongText()};
    return line.text.empty() ? ParsedLine{} : parseLine(line.text, known, board);
}

// Every line checked, each mistake said with its number; false when any was wrong.
bool checkAll(LineReader &reader, const BoardFile *board)
{
    KnownRegisters known;
    std::int64_t number = 0;
    bool good = true;
    while (const auto line = reader.next()) {
        const ParsedLine parsed = parse(*line, known, board);
        ++number;
        if (!parsed.error.empty()) {
            diagnostic("line " + std::to_string(number) + ": " + parsed.error);
            good = false;
        }
    }
    return good;
}

class Batch
{
public:
    Batch(Output &out, const BatchPlan &plan) : m_out(out), m_plan(plan) {}

    // A reply to the command on `line`.
    void reply(std::int64_t line, const Reply &reply)
    {
        if (m_out.json()) {
            Json fields = reply.json();
            fields["line"] = line;
            m_out.object(reply.type, fields);
        } else if (reply.ok()) {
            m_out.text(reply.text.empty() ? "ok" : "ok " + reply.text);
        } else {
            m_out.text(std::string(reply.code == ExitCode::ConditionFalse && !reply.signal
                                       ? "fail"
                                       : "error") +
                       " line " + std::to_string(line) + ": " + reply.problem);
        }
        if (!reply.ok()) {
            diagnostic("line " + std::to_string(line) + ": " + reply.problem);
            if (m_code == ExitCode::Success)
                m_code = reply.code;
        }
    }

    void parseError(std::int64_t line, const std::string &error)
    {
        reply(line, Reply{"error", ExitCode::Usage, {}, Json::object(), error});
    }

    // Runs one line; false when the batch stops here.
    bool run(BoardClient &board, std::int64_t line, const ParsedLine &parsed)
    {
        if (!parsed.command) {
            if (parsed.error.empty())
                return true; // blank or comment
            parseError(line, parsed.error);
            return m_plan.keepGoing;
        }
        const Command &command = *parsed.command;
        if (!board.usable() && command.kind != Command::Kind::Quit && !comeBack(board))
            return false;
        // The replies so far are not held back behind a pause.
        if (command.kind == Command::Kind::Sleep || command.kind == Command::Kind::Wait ||
            command.kind == Command::Kind::Pulse)
            m_out.flush();
        const Reply result = runCommand(board, command, false);
        if (command.sends())
            m_unchecked = true;
        if (result.answered())
            m_unchecked = false;
        reply(line, result);
        // Once the batch has set the board up, a board that comes back is set up again.
        if (command.kind == Command::Kind::Setup && result.ok())
            board.setAfterBack(m_plan.afterBack);
        if (Interrupts::received() || !m_out.isOpen())
            return false;
        if (!board.usable()) {
            if (!m_plan.reconnect)
                return false;
            // Said at once; the board is waited for when the next command comes.
            board.sayGone(board.lost());
            m_unchecked = false;
            return command.kind != Command::Kind::Quit;
        }
        return command.kind != Command::Kind::Quit && (result.ok() || m_plan.keepGoing);
    }

    // The board is waited for; false when the batch ends here instead.
    bool comeBack(BoardClient &board)
    {
        const auto failure = board.comeBack(Interrupts::Clock::time_point::max());
        // What runs after "back" failed: said once, as the check at the end is.
        if (failure && !failure->signal)
            notALine("back", "error after the board came back: ", *failure);
        return !failure;
    }

    void finish(BoardClient &board)
    {
        if (!m_plan.checkAtEnd || !m_unchecked || !board.usable() || Interrupts::received())
            return;
        // Not a reply to any line: said once, after the last one.
        if (auto failure = board.check())
            notALine("check", "error at the end: ", *failure);
    }

    // A failure that is the reply to no line.
    void notALine(const std::string &type, const std::string &lead, const Failure &failure)
    {
        const Reply reply = failed(type, failure);
        if (m_out.json())
            m_out.object(reply.type, reply.json());
        else
            m_out.text(lead + failure.message);
        diagnostic("batch: " + failure.message);
        if (m_code == ExitCode::Success)
            m_code = failure.code;
    }

    // Input that could not be read is an error, never its end.
    void readFailed(const std::string &name, int error)
    {
        diagnostic("batch: cannot read " + name + ": " + systemErrorText(error));
        if (m_code == ExitCode::Success)
            m_code = ExitCode::Usage;
    }

    ExitCode code() const { return m_code; }

private:
    Output &m_out;
    const BatchPlan &m_plan;
    ExitCode m_code = ExitCode::Success;
    bool m_unchecked = false; // commands were sent since the board last answered
};

} // namespace

ExitCode runBatch(const std::optional<PortTarget> &port, Output &out, const BatchPlan &plan)
{
    int fd = STDIN_FILENO;
    const bool fromFile = !plan.file.empty() && plan.file != "-";
    const std::string name = fromFile ? plan.file : "standard input";
    const auto cannotRead = [&](int error) {
        diagnostic("batch: cannot read " + name + ": " + systemErrorText(error));
        return ExitCode::Usage;
    };
#ifdef _WIN32
    constexpr int OpenFlags = O_RDONLY | O_BINARY;
#else
    // Non-blocking, as a FIFO with no writer yet would hold open() deaf to signals.
    constexpr int OpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
#endif
    if (fromFile && (fd = ::open(plan.file.c_str(), OpenFlags)) < 0)
        return cannotRead(errno);
    struct Closer
    {
        int fd;
        ~Closer()
        {
            if (fd != STDIN_FILENO)
                ::close(fd);
        }
    } closer{fd};
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return cannotRead(errno);
    if (S_ISDIR(info.st_mode))
        return cannotRead(EISDIR);
    // Like the open() it replaces, nothing more happens until a writer comes.
    if (fromFile && S_ISFIFO(info.st_mode) && !Interrupts::waitReadable(fd, false))
        return ExitCode::Success;

    // A file is checked whole first, so that a mistake on its last line opens nothing, and then
    // read again to run it: it is never held whole.
    const bool checkFirst = plan.checkOnly || S_ISREG(info.st_mode);
    if (checkFirst) {
        LineReader reader(fd, false);
        const bool good = checkAll(reader, plan.board);
        if (Interrupts::received())
            return ExitCode::Success;
        if (reader.error() != 0)
            return cannotRead(reader.error());
        if (!good)
            return ExitCode::Usage;
        if (plan.checkOnly)
            return ExitCode::Success;
        if (::lseek(fd, 0, SEEK_SET) != 0)
            return cannotRead(errno);
    }
    if (!port) {
        diagnostic("batch: no port given: use -p N, -d PATH|URL or set ZARVEX_PORT");
        return ExitCode::Usage;
    }

    BoardClient board(*port);
    if (auto failure = board.open()) {
        reportOpenFailure(out, *failure, &board);
        return failure->code;
    }
    Json open = {{"path", board.path()}, {"device", board.device()}, {"ok", true}};
    if (port->kind == PortTarget::Kind::Number)
        open["number"] = port->number;
    board.describeLink(open);
    if (plan.reconnect)
        board.setReconnect(out);
    out.result(board.path() == board.device() ? "open " + board.path()
                                              : "open " + board.path() + " -> " + board.device(),
               "open", open);

    Batch batch(out, plan);
    LineReader reader(fd, true);
    KnownRegisters known;
    std::int64_t number = 0;
    // A reply waits only while the next command is already here, and never long: a script
    // that waits for each reply gets it at once, a piped one gets them in few writes.
    out.setHolding(true);
    while (const auto line = reader.next()) {
        if (!batch.run(board, ++number, parse(*line, known, plan.board)))
            break;
        if (!reader.hasLine() || out.heldForMs() >= HeldRepliesMs)
            out.flush();
    }
    if (reader.error() != 0)
        batch.readFailed(name, reader.error());
    batch.finish(board);
    out.setHolding(false);
    board.close();
    return batch.code();
}
