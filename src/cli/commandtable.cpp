// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commandtable.h"

#include <algorithm>

namespace {

QCommandLineOption flag(const QStringList &names)
{
    return QCommandLineOption(names);
}

QCommandLineOption valued(const QStringList &names, const QString &valueName)
{
    return QCommandLineOption(names, QString(), valueName);
}

QString usageOf(const CommandRow &row)
{
    return QString::fromUtf8(row.help.usage);
}

// Between least and most positional arguments.
bool countArguments(const CommandRow &row, const ParsedOptions &args, qsizetype least,
                    qsizetype most, QString *error)
{
    const qsizetype count = args.positional.size();
    if (count > most) {
        *error = QStringLiteral("%1: unexpected argument %2; usage: %3")
                     .arg(row.name, args.positional.value(most), usageOf(row));
    } else if (count < least) {
        *error = QStringLiteral("%1: missing argument; usage: %2").arg(row.name, usageOf(row));
    }
    return count >= least && count <= most;
}

Command command(Command::Kind kind)
{
    Command command;
    command.kind = kind;
    return command;
}

std::optional<Plan> parseRead(const CommandRow &, const ParsedOptions &args, QString *error)
{
    auto selectors = parseSelectors(args.positional, error);
    if (!selectors)
        return std::nullopt;
    Command read = command(Command::Kind::Read);
    read.selectors = *selectors;
    return read;
}

std::optional<Plan> parseAssignments(Command::Kind kind, const ParsedOptions &args, QString *error)
{
    Command loads = command(kind);
    if (args.positional.isEmpty()) {
        *error = kind == Command::Kind::Dir
                     ? QStringLiteral("dir: nothing to set; usage: dir PORT=VALUE|in|out... "
                                      "(A=0xF0 B=in C.3=out)")
                     : QStringLiteral("write: nothing to write; usage: write PORT=VALUE... "
                                      "(A=0x5A B.3=1)");
        return std::nullopt;
    }
    for (const QString &arg : args.positional) {
        auto assignment = parseAssignment(loads.reg(), arg, error);
        if (!assignment)
            return std::nullopt;
        loads.assignments << *assignment;
    }
    return loads;
}

std::optional<Plan> parseDir(const CommandRow &, const ParsedOptions &args, QString *error)
{
    return parseAssignments(Command::Kind::Dir, args, error);
}

std::optional<Plan> parseWrite(const CommandRow &, const ParsedOptions &args, QString *error)
{
    return parseAssignments(Command::Kind::Write, args, error);
}

std::optional<Plan> parseConditions(Command::Kind kind, const ParsedOptions &args, QString *error)
{
    auto set = parseConditionSet(args, kind == Command::Kind::Wait, error);
    if (!set)
        return std::nullopt;
    Command check = command(kind);
    check.conditions = *set;
    return check;
}

std::optional<Plan> parseExpect(const CommandRow &, const ParsedOptions &args, QString *error)
{
    return parseConditions(Command::Kind::Expect, args, error);
}

std::optional<Plan> parseWait(const CommandRow &, const ParsedOptions &args, QString *error)
{
    return parseConditions(Command::Kind::Wait, args, error);
}

template<Command::Kind kind>
std::optional<Plan> parseBare(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    return command(kind);
}

std::optional<Plan> parseSleep(const CommandRow &row, const ParsedOptions &args, QString *error)
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

std::optional<Plan> parsePulse(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 2, 2, error))
        return std::nullopt;
    auto line = parseAssignment(Register::Write, args.positional[0], error);
    if (!line)
        return std::nullopt;
    if (!line->target.isLine()) {
        *error = QStringLiteral("pulse: %1 is a whole port; usage: pulse LINE=BIT D (pulse "
                                "A.3=1 50ms)")
                     .arg(args.positional[0]);
        return std::nullopt;
    }
    auto ms = parseDuration(args.positional[1], error);
    if (!ms)
        return std::nullopt;
    // The two commands would reach the board back to back: a glitch, not the pulse asked for.
    if (*ms == 0) {
        *error =
            QStringLiteral("pulse: %1 is no pulse; it lasts 1ms at least").arg(args.positional[1]);
        return std::nullopt;
    }
    Command pulse = command(Command::Kind::Pulse);
    pulse.assignments << *line;
    pulse.ms = *ms;
    return pulse;
}

std::optional<Plan> parseWatch(const CommandRow &, const ParsedOptions &args, QString *error)
{
    WatchPlan plan;
    auto selectors = parseSelectors(args.positional, error);
    if (!selectors)
        return std::nullopt;
    plan.selectors = *selectors;
    const auto interval = parseInterval(args, plan.intervalMs, error);
    if (!interval)
        return std::nullopt;
    plan.intervalMs = *interval;
    if (args.has(QStringLiteral("count"))) {
        const QString text = args.value(QStringLiteral("count"));
        bool ok = false;
        const qint64 count = text.toLongLong(&ok);
        if (!ok || count < 1 || !text.front().isDigit()) {
            *error = QStringLiteral("bad --count \"%1\": a number of changes, 1 or more").arg(text);
            return std::nullopt;
        }
        plan.count = count;
    }
    if (args.has(QStringLiteral("duration"))) {
        const auto ms = parseDuration(args.value(QStringLiteral("duration")), error);
        if (!ms)
            return std::nullopt;
        plan.durationMs = *ms;
    }
    return plan;
}

std::optional<Plan> parsePorts(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    return PortsPlan{args.has(QStringLiteral("probe"))};
}

std::optional<Plan> parseBatch(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 0, 0, error))
        return std::nullopt;
    BatchPlan plan;
    plan.file = args.value(QStringLiteral("f"));
    plan.keepGoing = args.has(QStringLiteral("keep-going"));
    plan.checkOnly = args.has(QStringLiteral("check-only"));
    return plan;
}

std::optional<Plan> parseBridge(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 1, 1, error))
        return std::nullopt;
    if (args.has(QStringLiteral("p")) || args.has(QStringLiteral("d"))) {
        *error =
            QStringLiteral("the board's URL is the argument of bridge; -p and -d do not apply");
        return std::nullopt;
    }
    const QString url = args.positional.constFirst();
    if (!RemoteAddress::looksLikeUrl(url)) {
        *error = QStringLiteral("\"%1\" is not a URL: rfc2217://HOST:PORT or socket://HOST:PORT")
                     .arg(url);
        return std::nullopt;
    }
    auto address = RemoteAddress::parse(url, error);
    if (!address)
        return std::nullopt;
    if (args.has(QStringLiteral("link")) && args.value(QStringLiteral("link")).isEmpty()) {
        *error = QStringLiteral("--link needs a path");
        return std::nullopt;
    }
    return BridgePlan{*address, args.value(QStringLiteral("link"))};
}

std::optional<Plan> parseHelp(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    if (!countArguments(row, args, 0, 1, error))
        return std::nullopt;
    const QString topic = args.positional.value(0);
    if (!topic.isEmpty() && !findCommand(topic)) {
        *error = QStringLiteral("help: no command \"%1\"").arg(topic);
        return std::nullopt;
    }
    return HelpPlan{topic};
}

// "  name      summary", the summary under itself when the name is wider than width.
QString listEntry(const QString &name, const char *summary, qsizetype width)
{
    const QString indent(width + 4, QLatin1Char(' '));
    QString entry = QStringLiteral("  ") + name;
    entry += name.size() > width ? QLatin1Char('\n') + indent
                                 : QString(width + 2 - name.size(), QLatin1Char(' '));
    return entry +
           QString::fromUtf8(summary).replace(QLatin1Char('\n'), QLatin1Char('\n') + indent);
}

// "read, dir, write, ... or quit"
QString batchNames()
{
    QStringList names;
    for (const CommandRow &row : commandTable()) {
        if (row.inBatch())
            names << row.name;
    }
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// The batch lines, as the batch command's help lists them.
QString batchCommandList()
{
    QStringList both;
    QList<std::pair<QString, const char *>> entries;
    for (const CommandRow &row : commandTable()) {
        if (row.inBatch() && row.onCommandLine())
            both << row.name;
        else if (row.inBatch())
            entries.append({usageOf(row), row.help.summary});
    }
    entries.prepend({both.join(QStringLiteral(", ")), "as the commands of the same name"});
    qsizetype width = 0;
    for (const auto &entry : entries)
        width = std::max(width, entry.first.size());
    QStringList lines;
    for (const auto &[name, summary] : entries)
        lines << listEntry(name, summary, width);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

const QList<QCommandLineOption> &globalOptions()
{
    static const QList<QCommandLineOption> options = {
        valued({QStringLiteral("p"), QStringLiteral("port")}, QStringLiteral("N")),
        valued({QStringLiteral("d"), QStringLiteral("device")}, QStringLiteral("PATH")),
        flag({QStringLiteral("json")}),
        flag({QStringLiteral("no-check")}),
        flag({QStringLiteral("h"), QStringLiteral("help")}),
        flag({QStringLiteral("version")}),
    };
    return options;
}

const QList<CommandRow> &commandTable()
{
    static const QList<CommandRow> table = [] {
        const QCommandLineOption any = flag({QStringLiteral("any")});
        const QCommandLineOption interval =
            valued({QStringLiteral("interval")}, QStringLiteral("D"));
        using Kind = Command::Kind;
        using enum CommandRow::Scope;
        // Name, where it is given, its own options, its parser (the kind of plan it gives is how
        // the command runs, see Plan) and its help; the help lists them in this order.
        return QList<CommandRow>{
            {QStringLiteral("ports"),
             CommandLine,
             {flag({QStringLiteral("probe")})},
             parsePorts,
             HelpTexts::Ports},
            {QStringLiteral("read"), Both, {}, parseRead, HelpTexts::Read},
            {QStringLiteral("dir"), Both, {}, parseDir, HelpTexts::Dir},
            {QStringLiteral("write"), Both, {}, parseWrite, HelpTexts::Write},
            {QStringLiteral("reset"), Both, {}, parseBare<Kind::Reset>, HelpTexts::Reset},
            {QStringLiteral("watch"),
             CommandLine,
             {interval, valued({QStringLiteral("count")}, QStringLiteral("N")),
              valued({QStringLiteral("duration")}, QStringLiteral("D"))},
             parseWatch,
             HelpTexts::Watch},
            {QStringLiteral("wait"),
             Both,
             {any, interval, valued({QStringLiteral("timeout")}, QStringLiteral("D")),
              valued({QStringLiteral("stable")}, QStringLiteral("N"))},
             parseWait,
             HelpTexts::Wait},
            {QStringLiteral("expect"), Both, {any}, parseExpect, HelpTexts::Expect},
            {QStringLiteral("batch"),
             CommandLine,
             {valued({QStringLiteral("f"), QStringLiteral("file")}, QStringLiteral("FILE")),
              flag({QStringLiteral("keep-going")}), flag({QStringLiteral("check-only")})},
             parseBatch,
             HelpTexts::Batch},
            {QStringLiteral("bridge"),
             CommandLine,
             {valued({QStringLiteral("link")}, QStringLiteral("PATH"))},
             parseBridge,
             HelpTexts::Bridge},
            {QStringLiteral("help"), CommandLine, {}, parseHelp, HelpTexts::Help},
            {QStringLiteral("sleep"), BatchLine, {}, parseSleep, HelpTexts::Sleep},
            {QStringLiteral("pulse"), BatchLine, {}, parsePulse, HelpTexts::Pulse},
            {QStringLiteral("state"), BatchLine, {}, parseBare<Kind::State>, HelpTexts::State},
            {QStringLiteral("quit"), BatchLine, {}, parseBare<Kind::Quit>, HelpTexts::Quit},
        };
    }();
    return table;
}

const CommandRow *findCommand(const QString &name)
{
    for (const CommandRow &row : commandTable()) {
        if (row.name == name)
            return &row;
    }
    return nullptr;
}

const QList<QCommandLineOption> &everyOption()
{
    static const QList<QCommandLineOption> options = [] {
        QList<QCommandLineOption> every = globalOptions();
        QStringList names;
        for (const QCommandLineOption &option : every)
            names << option.names();
        for (const CommandRow &row : commandTable()) {
            for (const QCommandLineOption &option : row.options) {
                if (!names.contains(option.names().constFirst())) {
                    every << option;
                    names << option.names();
                }
            }
        }
        return every;
    }();
    return options;
}

std::optional<Plan> parsePlan(const CommandRow &row, const ParsedOptions &args, QString *error)
{
    auto plan = row.parse(row, args, error);
    if (auto *command = plan ? std::get_if<Command>(&*plan) : nullptr)
        command->name = row.name;
    return plan;
}

std::optional<Command> parseBatchLine(const QStringList &words, QString *error)
{
    const QString name = words.value(0);
    const CommandRow *row = findCommand(name);
    if (!row || !row->inBatch()) {
        *error = (row ? QStringLiteral("%1 runs on the command line only: a batch line is %2")
                      : QStringLiteral("unknown command \"%1\": a batch line is %2"))
                     .arg(name, batchNames());
        return std::nullopt;
    }
    const auto args = parseOptions(words.mid(1), row->options, error);
    if (!args)
        return std::nullopt;
    auto plan = parsePlan(*row, *args, error);
    if (!plan)
        return std::nullopt;
    return std::get<Command>(std::move(*plan));
}

QString commandLineRefusal(const QString &name)
{
    const CommandRow *row = findCommand(name);
    if (row && row->inBatch())
        return QStringLiteral("%1 is a batch command: echo '%1 ...' | zarvex batch").arg(name);
    return QStringLiteral("unknown command \"%1\"; zarvex --help lists them").arg(name);
}

QString generalHelp()
{
    QStringList lines;
    for (const CommandRow &row : commandTable()) {
        if (row.onCommandLine()) {
            const char *listed = row.help.listed ? row.help.listed : row.help.usage;
            lines << listEntry(QString::fromUtf8(listed), row.help.summary, 21);
        }
    }
    return QString::fromUtf8(HelpTexts::General).arg(lines.join(QLatin1Char('\n')));
}

QString commandHelp(const CommandRow &row)
{
    QString details = QString::fromUtf8(row.help.details);
    if (details.contains(QLatin1String("%1")))
        details = details.arg(batchCommandList());
    return QStringLiteral("Usage: %1%2\n\n%3")
        .arg(row.onCommandLine() ? QStringLiteral("zarvex ") : QString(), usageOf(row), details);
}
