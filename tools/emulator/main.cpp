// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "common/devicelink.h"
#include "common/endingsignals.h"
#include "ptyboard.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <poll.h>
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
    // timestamps: each line after the first starts with the seconds since `started`.
    CommandLog(bool verbose, bool timestamps, std::chrono::steady_clock::time_point started)
        : m_verbose(verbose), m_timestamps(timestamps), m_started(started)
    {}
    ~CommandLog() { finish(); }
    CommandLog(const CommandLog &) = delete;
    CommandLog &operator=(const CommandLog &) = delete;

    // Starts writing, `first` ahead of whatever came before.
    void start(const std::string &first)
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_front(first + '\n');
        m_thread = std::thread(&CommandLog::run, this);
    }

    // From any thread; never waits for the output.
    void add(const std::string &line)
    {
        std::lock_guard lock(m_mutex);
        const auto now = Clock::now();
        const bool repeat = !m_verbose && line == m_last && line.starts_with("read-ports") &&
                            now - m_lastAt < Pause;
        m_lastAt = now;
        if (repeat) {
            ++m_repeats;
            m_wake.notify_one(); // to wait out the pause
            return;
        }
        flushRepeatsLocked();
        queueLocked(m_timestamps ? stamp(now) + line : line);
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
        std::int64_t written = -1;
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

    // "0.250113 "
    std::string stamp(Clock::time_point at) const
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - m_started);
        char text[32];
        std::snprintf(text, sizeof text, "%lld.%06lld ",
                      static_cast<long long>(us.count() / 1000000),
                      static_cast<long long>(us.count() % 1000000));
        return text;
    }

    void flushRepeatsLocked()
    {
        if (m_repeats == 0)
            return;
        queueLocked(m_repeats == 1 ? std::string("(repeated once more)")
                                   : "(repeated " + std::to_string(m_repeats) + " more times)");
        m_repeats = 0;
        m_last.clear(); // what comes after the count starts a run of its own
    }

    void queueLocked(const std::string &line)
    {
        if (m_broken)
            return;
        if (m_queue.size() >= MaxQueuedLines) {
            ++m_dropped;
            return;
        }
        queueDroppedLocked();
        m_queue.push_back(line + '\n');
        m_wake.notify_one();
    }

    void queueDroppedLocked()
    {
        if (m_dropped == 0)
            return;
        m_queue.push_back('(' + std::to_string(m_dropped) +
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
            std::deque<std::string> lines;
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

    bool writeAll(const std::deque<std::string> &lines)
    {
        for (const std::string &line : lines) {
            for (std::size_t at = 0; at < line.size();) {
                const ssize_t count = ::write(STDOUT_FILENO, line.data() + at, line.size() - at);
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0)
                    return false;
                at += std::size_t(count);
                std::lock_guard lock(m_mutex);
                m_written += count;
            }
        }
        return true;
    }

    const bool m_verbose;
    const bool m_timestamps;
    const Clock::time_point m_started;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::thread m_thread;
    std::deque<std::string> m_queue;
    std::int64_t m_dropped = 0;
    std::int64_t m_written = 0;
    bool m_stopping = false;
    bool m_done = false;
    bool m_broken = false;
    bool m_leaked = false;
    std::string m_last;
    int m_repeats = 0;
    Clock::time_point m_lastAt;
};

std::optional<PtyBoard::ReplyMode> parseReplyMode(std::string mode)
{
    using Mode = PtyBoard::ReplyMode;
    std::transform(mode.begin(), mode.end(), mode.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    if (mode == "normal")
        return Mode::Normal;
    if (mode == "short")
        return Mode::Short;
    if (mode == "extra")
        return Mode::Extra;
    if (mode == "silent")
        return Mode::Silent;
    if (mode == "double")
        return Mode::Double;
    return std::nullopt;
}

// Digits of `base` and nothing else: std::stoul() would also take a sign, leading spaces and
// a 0x prefix, none of which a user who typed them meant as a number.
std::optional<unsigned> parseDigits(std::string_view text, int base, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        value = value * unsigned(base) + digit;
    }
    return value;
}

// Milliseconds, at most a day.
std::optional<int> parseMs(std::string_view text)
{
    const std::optional<unsigned> ms = parseDigits(text, 10, 8);
    if (!ms || *ms > 86400000)
        return std::nullopt;
    return int(*ms);
}

std::optional<Port> parsePort(std::string_view text)
{
    if (text.size() != 1)
        return std::nullopt;
    const char letter = text[0];
    return portFromLetter(letter >= 'a' && letter <= 'z' ? char(letter - 'a' + 'A') : letter);
}

// "A=3C" or "a=0x3c" sets port A's input pattern to 0x3C.
bool applyInputPattern(PtyBoard &board, std::string_view text)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || text.find('=', equals + 1) != std::string_view::npos)
        return false;
    const auto port = parsePort(text.substr(0, equals));
    std::string_view value = text.substr(equals + 1);
    if (value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
        value.remove_prefix(2);
    const std::optional<unsigned> pattern = parseDigits(value, 16, 2);
    if (!port || !pattern)
        return false;
    board.setInputPattern(*port, std::uint8_t(*pattern));
    return true;
}

constexpr std::string_view ProgramName = "zarvex-board-emulator";

constexpr std::string_view HelpText =
    "Serves an emulated Zarvex board on a pseudo-terminal. The first line printed is the device "
    "to open; each decoded command is logged after it, e.g. \"set-direction A FE\", "
    "\"write-port B 05\", \"read-ports -> 01 80 FF\". A read-ports line that repeats the one "
    "before it is counted, not printed again, unless --verbose.\n"
    "\n"
    "Example, as root, to answer as port number 3 with a counter on port C:\n"
    "  zarvex-board-emulator --link /dev/com3 --input A=5A --count C\n"
    "\n"
    "Options:\n"
    "  -h, --help             Displays help on commandline options.\n"
    "  -v, --version          Displays version information.\n"
    "  --link <path>          Create a symbolic link <path> to the device.\n"
    "  --input <port=hex>     Input pattern of a port, e.g. A=3C (hex). May be\n"
    "                         repeated.\n"
    "  --reply <mode>         Answer to read-ports: normal, short, extra, double or\n"
    "                         silent.\n"
    "  --reply-delay <ms>     Send each read-ports reply <ms> milliseconds late.\n"
    "  --count <port>         Live inputs: the input pattern of <port> counts up by\n"
    "                         one every --count-interval milliseconds, so polling\n"
    "                         shows movement.\n"
    "  --count-interval <ms>  Step time of --count.\n"
    "  --quiet                Do not log decoded commands.\n"
    "  --verbose              Log every read-ports, also one that repeats the line\n"
    "                         before it.\n"
    "  --timestamps           Start each logged command with the seconds since the\n"
    "                         emulator started, e.g. \"0.250113 write-port A 08\".\n";

void complain(const std::string &message)
{
    std::fprintf(stderr, "%s: %s\n", ProgramName.data(), message.c_str());
    std::fflush(stderr);
}

// The command line as scripts have always written it: the word after an option that takes a
// value is that value whatever it looks like ("--reply-delay -5"), "-hv" is -h and -v, and a
// flag given a value is a mistake. CLI11 reads what comes out: each option with its value,
// however empty or dashed, as the word after it, which CLI11 takes as it stands.
struct SplitArguments
{
    std::vector<std::string> options;
    std::vector<std::string> positional;
    std::string error;
};

SplitArguments splitArguments(int argc, char *argv[])
{
    static constexpr std::array<std::string_view, 6> Valued{
        "link", "input", "reply", "reply-delay", "count", "count-interval"};
    static constexpr std::array<std::string_view, 6> Flags{"quiet", "verbose",  "timestamps",
                                                           "help",  "help-all", "version"};
    const auto listed = [](const auto &names, std::string_view name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    SplitArguments split;
    std::vector<std::string> unknown;
    const auto fail = [&](const std::string &message) {
        if (split.error.empty())
            split.error = message;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        if (argument == "--") {
            split.positional.insert(split.positional.end(), argv + i + 1, argv + argc);
            break;
        }
        if (argument.starts_with("--")) {
            const std::string name =
                argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            if (listed(Valued, name)) {
                if (equals == std::string::npos && i + 1 == argc) {
                    fail("Missing value after '--" + name + "'.");
                    continue;
                }
                split.options.push_back("--" + name);
                split.options.push_back(equals == std::string::npos ? argv[++i]
                                                                    : argument.substr(equals + 1));
            } else if (listed(Flags, name)) {
                if (equals != std::string::npos)
                    fail("Unexpected value after '--" + name + "'.");
                else
                    split.options.push_back(argument);
            } else {
                unknown.push_back(name);
            }
        } else if (argument.size() > 1 && argument[0] == '-') {
            const std::string letters = argument.substr(1, equals - 1);
            for (const char letter : letters) {
                if (letter == 'h' || letter == 'v')
                    split.options.push_back({'-', letter});
                else
                    unknown.push_back({letter});
            }
            if (equals != std::string::npos && !letters.empty() &&
                (letters.back() == 'h' || letters.back() == 'v'))
                fail(std::string("Unexpected value after '-") + letters.back() + "'.");
        } else {
            split.positional.push_back(argument);
        }
    }
    if (unknown.size() == 1) {
        fail("Unknown option '" + unknown.front() + "'.");
    } else if (unknown.size() > 1) {
        std::string names;
        for (const std::string &name : unknown)
            names += (names.empty() ? "" : ", ") + name;
        fail("Unknown options: " + names + ".");
    }
    return split;
}

} // namespace

int main(int argc, char *argv[])
{
    const auto started = std::chrono::steady_clock::now();
    const SplitArguments arguments = splitArguments(argc, argv);
    if (!arguments.error.empty()) {
        complain(arguments.error);
        return 1;
    }

    CLI::App cli{"", std::string(ProgramName)};
    cli.set_help_flag(); // -h prints HelpText, in the words the tool has always used
    int help = 0;
    int version = 0;
    int quiet = 0;
    int verbose = 0;
    int timestamps = 0;
    std::string linkPath;
    std::vector<std::string> inputs;
    std::string reply = "normal";
    std::string replyDelay = "0";
    std::string countPort;
    std::string countInterval = "250";
    // --help-all once added Qt's own options; with those gone it is plain help.
    cli.add_flag("-h,--help,--help-all", help);
    cli.add_flag("-v,--version", version);
    const auto takeLast = [](CLI::Option *option) {
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        return option;
    };
    const CLI::Option *linkOption = takeLast(cli.add_option("--link", linkPath));
    // One value a time, as it stands: CLI11 would split "[A=1,B=2]" into two.
    cli.add_option("--input", inputs)->allow_extra_args(false);
    takeLast(cli.add_option("--reply", reply));
    takeLast(cli.add_option("--reply-delay", replyDelay));
    const CLI::Option *countOption = takeLast(cli.add_option("--count", countPort));
    takeLast(cli.add_option("--count-interval", countInterval));
    cli.add_flag("--quiet", quiet);
    cli.add_flag("--verbose", verbose);
    cli.add_flag("--timestamps", timestamps);
    try {
        cli.parse(std::vector<std::string>(arguments.options.rbegin(), arguments.options.rend()));
    } catch (const CLI::ParseError &error) {
        complain(error.what());
        return 1;
    }
    if (version) {
        std::printf("%s %s\n", ProgramName.data(), ZARVEX_VERSION_TEXT);
        return 0;
    }
    if (help) {
        std::printf("Usage: %s [options]\n%s", argv[0], HelpText.data());
        return 0;
    }

    const auto usageError = [](const std::string &message) {
        complain(message);
        return 2;
    };
    if (!arguments.positional.empty())
        return usageError("unexpected argument " + arguments.positional.front());

    // Outlives the board, whose thread hands it the lines.
    auto log = std::make_unique<CommandLog>(verbose > 0, timestamps > 0, started);
    PtyBoard board;
    // Nothing reads back what the host sent; kept, it would grow with every byte.
    board.setRecording(false);
    for (const std::string &input : inputs) {
        if (!applyInputPattern(board, input))
            return usageError("bad --input " + input + ", expected e.g. A=3C");
    }
    const std::optional<PtyBoard::ReplyMode> mode = parseReplyMode(reply);
    if (!mode)
        return usageError("bad --reply " + reply);
    board.setReplyMode(*mode);
    const std::optional<int> delay = parseMs(replyDelay);
    if (!delay)
        return usageError("bad --reply-delay " + replyDelay);
    board.setReplyDelay(*delay);

    const bool counting = countOption->count() > 0;
    std::optional<Port> counted;
    std::chrono::milliseconds countStep{0};
    if (counting) {
        counted = parsePort(countPort);
        if (!counted)
            return usageError("bad --count " + countPort + ", expected A, B or C");
        const std::optional<int> interval = parseMs(countInterval);
        if (!interval || *interval < 1)
            return usageError("bad --count-interval " + countInterval);
        countStep = std::chrono::milliseconds(*interval);
    }

    if (!quiet)
        board.setLogHandler([log = log.get()](const std::string &line) { log->add(line); });

    // A reader that went away must not end us before the link is removed; its write fails
    // with EPIPE instead, and the log stops.
    std::signal(SIGPIPE, SIG_IGN);
    if (!EndingSignals::install()) {
        complain(std::string("cannot handle signals: ") + std::strerror(errno));
        return 1;
    }
    std::optional<DeviceLink> link;
    std::string error;
    if (!board.start(&error)) {
        complain(error);
        return 1;
    }
    if (linkOption->count() > 0) {
        link.emplace(linkPath);
        if (!link->create(board.devicePath(), &error)) {
            complain(error);
            return 1;
        }
    }
    log->start(board.devicePath());

    // Serves until a signal comes, stepping the counter meanwhile; the board has a thread of
    // its own.
    using Clock = std::chrono::steady_clock;
    auto nextStep = Clock::now() + countStep;
    int status = 0;
    for (;;) {
        int timeout = -1;
        if (counting) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(nextStep - Clock::now()).count();
            timeout = int(std::clamp<std::int64_t>(wait, 0, countStep.count()));
        }
        pollfd ending{EndingSignals::fd(), POLLIN, 0};
        if (::poll(&ending, 1, timeout) < 0 && errno != EINTR) {
            complain(std::string("poll: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (ending.revents & POLLIN) {
            EndingSignals::drain();
            break;
        }
        if (counting && Clock::now() >= nextStep) {
            board.setInputPattern(*counted, std::uint8_t(board.inputPattern(*counted) + 1));
            nextStep += countStep;
            // Steps missed while the machine was busy are dropped, not made up in a burst.
            if (nextStep <= Clock::now())
                nextStep = Clock::now() + countStep;
        }
    }
    EndingSignals::restore(true);
    board.stop();
    link.reset();
    log->finish();
    if (log->leaked())
        (void)log.release(); // its thread is still blocked writing to it
    return status;
}
