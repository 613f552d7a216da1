// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commandtable.h"

#include "edges.h"

#include <algorithm>
#include <limits>

namespace {

Option flag(std::vector<std::string> names)
{
    return Option{std::move(names), {}};
}

Option valued(std::vector<std::string> names, std::string valueName)
{
    return Option{std::move(names), std::move(valueName)};
}

std::string usageOf(const CommandRow &row)
{
    return row.help.usage;
}

// Every "%1" in text replaced by arg.
std::string withArgument(std::string text, const std::string &arg)
{
    for (auto at = text.find("%1"); at != std::string::npos; at = text.find("%1", at + arg.size()))
        text.replace(at, 2, arg);
    return text;
}

std::string joined(const std::vector<std::string> &parts, const std::string &separator)
{
    std::string text;
    for (const std::string &part : parts) {
        if (&part != &parts.front())
            text += separator;
        text += part;
    }
    return text;
}

// Between least and most positional arguments.
bool countArguments(const CommandRow &row, const ParsedOptions &args, std::size_t least,
                    std::size_t most, std::string *error)
{
    const std::size_t count = args.positional.size();
    if (count > most) {
        *error = row.name + ": unexpected argument " + args.positional[most] +
                 "; usage: " + usageOf(row);
    } else if (count < least) {
        *error = row.name + ": missing argument; usage: " + usageOf(row);
    }
    return count >= least && count <= most;
}

Command command(Command::Kind kind)
{
    Command command;
    command.kind = kind;
    return command;
}

std::optional<Plan> parseRead(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    auto selectors = parseSelectors(args.positional, error, args.names());
    if (!selectors)
        return std::nullopt;
    Command read = command(Command::Kind::Read);
    read.selectors = std::move(*selectors);
    return read;
}

std::optional<Plan> parseAssignments(Command::Kind kind, const ParsedOptions &args,
                                     std::string *error)
{
    Command loads = command(kind);
    if (args.positional.empty()) {
        *error = kind == Command::Kind::Dir
                     ? "dir: nothing to set; usage: dir PORT=VALUE|in|out... (A=0xF0 B=in "
                       "C.3=out)"
                     : "write: nothing to write; usage: write PORT=VALUE... (A=0x5A B.3=1)";
        return std::nullopt;
    }
    for (const std::string &arg : args.positional) {
        auto assignment = parseAssignment(loads.reg(), arg, error, args.names());
        if (!assignment)
            return std::nullopt;
        loads.assignments.push_back(std::move(*assignment));
    }
    return loads;
}

std::optional<Plan> parseDir(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    return parseAssignments(Command::Kind::Dir, args, error);
}

std::optional<Plan> parseWrite(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    return parseAssignments(Command::Kind::Write, args, error);
}

std::optional<Plan> parseConditions(Command::Kind kind, const ParsedOptions &args,
                                    std::string *error)
{
    auto set = parseConditionSet(args, kind == Command::Kind::Wait, error);
    if (!set)
        return std::nullopt;
    Command check = command(kind);
    check.conditions = std::move(*set);
    return check;
}

std::optional<Plan> parseExpect(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    return parseConditions(Command::Kind::Expect, args, error);
}

std::optional<Plan> parseWait(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    auto plan = parseConditions(Command::Kind::Wait, args, error);
    if (plan)
        std::get<Command>(*plan).reconnect = args.has("reconnect");
    return plan;
}

template<Command::Kind kind>
std::optional<Plan> parseBare(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    return command(kind);
}

std::optional<Plan> parseSleep(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 1, 1, error))
        return std::nullopt;
    auto ms = parseDuration(args.positional[0], error);
    if (!ms)
        return std::nullopt;
    Command sleep = command(Command::Kind::Sleep);
    sleep.ms = *ms;
    return sleep;
}

std::optional<Plan> parsePulse(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 2, 2, error))
        return std::nullopt;
    // A name alone is its line asserted.
    const std::string &given = args.positional[0];
    const bool named = findName(args.names(), given) != nullptr;
    auto line = parseAssignment(Register::Write, named ? given + "=1" : given, error, args.names());
    if (!line)
        return std::nullopt;
    line->text = given;
    if (!line->target.isLine()) {
        *error = "pulse: " + args.positional[0] +
                 " is a whole port; usage: pulse LINE=BIT D (pulse A.3=1 50ms)";
        return std::nullopt;
    }
    auto ms = parseDuration(args.positional[1], error);
    if (!ms)
        return std::nullopt;
    // The two commands would reach the board back to back: a glitch, not the pulse asked for.
    if (*ms == 0) {
        *error = "pulse: " + args.positional[1] + " is no pulse; it lasts 1ms at least";
        return std::nullopt;
    }
    Command pulse = command(Command::Kind::Pulse);
    pulse.assignments.push_back(std::move(*line));
    pulse.ms = *ms;
    return pulse;
}

std::optional<Plan> parseWatch(const CommandRow &, const ParsedOptions &args, std::string *error)
{
    WatchPlan plan;
    auto selectors = parseSelectors(args.positional, error, args.names());
    if (!selectors)
        return std::nullopt;
    plan.selectors = std::move(*selectors);
    const auto interval = parseInterval(args, plan.intervalMs, error);
    if (!interval)
        return std::nullopt;
    plan.intervalMs = *interval;
    if (args.has("count")) {
        const std::string text = args.value("count");
        const auto count = parseCount(text, std::numeric_limits<std::int64_t>::max());
        if (!count || *count < 1) {
            *error = "bad --count \"" + text + "\": a number of changes, 1 or more";
            return std::nullopt;
        }
        plan.count = count;
    }
    if (args.has("duration")) {
        const auto ms = parseDuration(args.value("duration"), error);
        if (!ms)
            return std::nullopt;
        plan.durationMs = *ms;
    }
    plan.edges = args.has("edges");
    if (plan.edges)
        plan.selectors = edgeLines(plan.selectors, args.names());
    if (args.has("stable")) {
        const std::string text = args.value("stable");
        const auto stable = parseCount(text, 1000000);
        if (!stable || *stable < 1) {
            *error = "bad --stable \"" + text + "\": a number of readings, 1 to 1000000";
            return std::nullopt;
        }
        if (!plan.edges) {
            *error = "--stable counts the readings of a level with --edges";
            return std::nullopt;
        }
        plan.stable = int(*stable);
    }
    plan.reconnect = args.has("reconnect");
    return plan;
}

std::optional<Plan> parseSetup(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    if (!args.board) {
        *error = "setup: no board file (--board FILE or ZARVEX_BOARD)";
        return std::nullopt;
    }
    return command(Command::Kind::Setup);
}

std::optional<Plan> parsePorts(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    return PortsPlan{args.has("probe")};
}

std::optional<Plan> parseBatch(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    BatchPlan plan;
    plan.file = args.value("f");
    plan.keepGoing = args.has("keep-going");
    plan.checkOnly = args.has("check-only");
    plan.reconnect = args.has("reconnect");
    return plan;
}

#ifndef _WIN32
std::optional<Plan> parseBridge(const CommandRow &row, const ParsedOptions &args,
                                std::string *error)
{
    if (!countArguments(row, args, 1, 1, error))
        return std::nullopt;
    if (args.has("p") || args.has("d")) {
        *error = "the board's URL is the argument of bridge; -p and -d do not apply";
        return std::nullopt;
    }
    const std::string &url = args.positional.front();
    if (!RemoteAddress::looksLikeUrl(url)) {
        *error = "\"" + url + "\" is not a URL: rfc2217://HOST:PORT or socket://HOST:PORT";
        return std::nullopt;
    }
    auto address = RemoteAddress::parse(url, error);
    if (!address)
        return std::nullopt;
    if (args.has("link") && args.value("link").empty()) {
        *error = "--link needs a path";
        return std::nullopt;
    }
    return BridgePlan{*address, args.value("link")};
}
#endif

std::optional<Plan> parseHelp(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    if (!countArguments(row, args, 0, 1, error))
        return std::nullopt;
    const std::string topic = args.positional.empty() ? std::string() : args.positional.front();
    if (!topic.empty() && !findCommand(topic)) {
        const std::string leftOut = leftOutHere(topic);
        *error = "help: " + (leftOut.empty() ? "no command \"" + topic + "\"" : leftOut);
        return std::nullopt;
    }
    return HelpPlan{topic};
}

// "  name      summary", the summary under itself when the name is wider than width.
std::string listEntry(const std::string &name, const char *summary, std::size_t width)
{
    const std::string indent(width + 4, ' ');
    std::string entry = "  " + name;
    entry += name.size() > width ? '\n' + indent : std::string(width + 2 - name.size(), ' ');
    for (const char *c = summary; *c; ++c) {
        entry += *c;
        if (*c == '\n')
            entry += indent;
    }
    return entry;
}

// "read, dir, write, ... or quit"
std::string batchNames()
{
    std::vector<std::string> names;
    for (const CommandRow &row : commandTable()) {
        if (row.inBatch())
            names.push_back(row.name);
    }
    const std::string last = names.back();
    names.pop_back();
    return joined(names, ", ") + " or " + last;
}

// The batch lines, as the batch command's help lists them.
std::string batchCommandList()
{
    std::vector<std::string> both;
    std::vector<std::pair<std::string, const char *>> entries;
    for (const CommandRow &row : commandTable()) {
        if (row.inBatch() && row.onCommandLine())
            both.push_back(row.name);
        else if (row.inBatch())
            entries.emplace_back(usageOf(row), row.help.summary);
    }
    entries.insert(entries.begin(), {joined(both, ", "), "as the commands of the same name"});
    std::size_t width = 0;
    for (const auto &entry : entries)
        width = std::max(width, entry.first.size());
    std::vector<std::string> lines;
    for (const auto &[name, summary] : entries)
        lines.push_back(listEntry(name, summary, width));
    return joined(lines, "\n");
}

} // namespace

const std::vector<Option> &globalOptions()
{
    static const std::vector<Option> options = {
        valued({"p", "port"}, "N"),
        valued({"d", "device"}, "PATH"),
        valued({"board"}, "FILE"), // the rig's board file: its device and names
        flag({"json"}),
        flag({"no-check"}),
        flag({"h", "help"}),
        flag({"version"}),
    };
    return options;
}

const std::vector<CommandRow> &commandTable()
{
    static const std::vector<CommandRow> table = [] {
        const Option any = flag({"any"});
        const Option interval = valued({"interval"}, "D");
        const Option reconnect = flag({"reconnect"});
        using Kind = Command::Kind;
        using enum CommandRow::Scope;
        // Name, where it is given, its own options, its parser (the kind of plan it gives is how
        // the command runs, see Plan) and its help; the help lists them in this order.
        return std::vector<CommandRow>{
            {"ports", CommandLine, {flag({"probe"})}, parsePorts, HelpTexts::Ports},
            {"read", Both, {}, parseRead, HelpTexts::Read},
            {"dir", Both, {}, parseDir, HelpTexts::Dir},
            {"write", Both, {}, parseWrite, HelpTexts::Write},
            {"reset", Both, {}, parseBare<Kind::Reset>, HelpTexts::Reset},
            {"setup", Both, {}, parseSetup, HelpTexts::Setup},
            {"watch",
             CommandLine,
             {interval, valued({"count"}, "N"), valued({"duration"}, "D"), flag({"edges"}),
              valued({"stable"}, "N"), reconnect},
             parseWatch,
             HelpTexts::Watch},
            {"wait",
             Both,
             {any, interval, valued({"timeout"}, "D"), valued({"stable"}, "N"), reconnect},
             parseWait,
             HelpTexts::Wait},
            {"expect", Both, {any}, parseExpect, HelpTexts::Expect},
            {"batch",
             CommandLine,
             {valued({"f", "file"}, "FILE"), flag({"keep-going"}), flag({"check-only"}), reconnect},
             parseBatch,
             HelpTexts::Batch},
#ifndef _WIN32
            {"bridge", CommandLine, {valued({"link"}, "PATH")}, parseBridge, HelpTexts::Bridge},
#endif
            {"help", CommandLine, {}, parseHelp, HelpTexts::Help},
            {"sleep", BatchLine, {}, parseSleep, HelpTexts::Sleep},
            {"pulse", BatchLine, {}, parsePulse, HelpTexts::Pulse},
            {"state", BatchLine, {}, parseBare<Kind::State>, HelpTexts::State},
            {"quit", BatchLine, {}, parseBare<Kind::Quit>, HelpTexts::Quit},
        };
    }();
    return table;
}

const CommandRow *findCommand(const std::string &name)
{
    for (const CommandRow &row : commandTable()) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

const std::vector<Option> &everyOption()
{
    static const std::vector<Option> options = [] {
        std::vector<Option> every = globalOptions();
        const auto known = [&](const std::string &name) {
            return std::any_of(every.begin(), every.end(), [&](const Option &option) {
                return std::find(option.names.begin(), option.names.end(), name) !=
                       option.names.end();
            });
        };
        for (const CommandRow &row : commandTable()) {
            for (const Option &option : row.options) {
                if (!known(option.names.front()))
                    every.push_back(option);
            }
        }
        return every;
    }();
    return options;
}

std::optional<Plan> parsePlan(const CommandRow &row, const ParsedOptions &args, std::string *error)
{
    auto plan = row.parse(row, args, error);
    if (auto *command = plan ? std::get_if<Command>(&*plan) : nullptr) {
        command->name = row.name;
        command->board = args.board;
    }
    return plan;
}

std::optional<Command> parseBatchLine(const std::vector<std::string> &words, std::string *error,
                                      const BoardFile *board)
{
    const std::string name = words.empty() ? std::string() : words.front();
    const CommandRow *row = findCommand(name);
    if (!row || !row->inBatch()) {
        *error = (row ? name + " runs on the command line only: a batch line is "
                      : "unknown command \"" + name + "\": a batch line is ") +
                 batchNames();
        return std::nullopt;
    }
    auto args =
        parseOptions(std::vector<std::string>(words.begin() + 1, words.end()), row->options, error);
    if (!args)
        return std::nullopt;
    args->board = board;
    auto plan = parsePlan(*row, *args, error);
    if (!plan)
        return std::nullopt;
    // The batch goes on after the board came back, with the next line.
    if (std::get<Command>(*plan).reconnect) {
        *error = name + ": --reconnect is for the whole batch: zarvex batch --reconnect";
        return std::nullopt;
    }
    return std::get<Command>(std::move(*plan));
}

std::string commandLineRefusal(const std::string &name)
{
    const CommandRow *row = findCommand(name);
    if (row && row->inBatch())
        return name + " is a batch command: echo '" + name + " ...' | zarvex batch";
    if (const std::string leftOut = leftOutHere(name); !leftOut.empty())
        return leftOut;
    return "unknown command \"" + name + "\"; zarvex --help lists them";
}

std::string generalHelp()
{
    std::vector<std::string> lines;
    for (const CommandRow &row : commandTable()) {
        if (row.onCommandLine()) {
            const char *listed = row.help.listed ? row.help.listed : row.help.usage;
            lines.push_back(listEntry(listed, row.help.summary, 21));
        }
    }
    return withArgument(HelpTexts::General, joined(lines, "\n"));
}

std::string commandHelp(const CommandRow &row)
{
    return "Usage: " + std::string(row.onCommandLine() ? "zarvex " : "") + usageOf(row) + "\n\n" +
           withArgument(row.help.details, batchCommandList());
}

std::string leftOutHere([[maybe_unused]] const std::string &name)
{
#ifdef _WIN32
    if (name == "bridge")
        return "bridge serves a pseudo-terminal, and runs on Linux only";
#endif
    return {};
}
