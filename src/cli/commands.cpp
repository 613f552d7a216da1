// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commands.h"

#include "boardclient.h"
#include "device/portname.h"
#include "interrupts.h"
#include "output.h"

#include <QDateTime>
#include <QJsonArray>

namespace {

using Clock = Interrupts::Clock;
using Inputs = ReadPortsOutcome::PortInputs;

const OptionRule AnyOption{QStringLiteral("--any")};
const OptionRule IntervalOption{QStringLiteral("--interval"), true};

QString letter(Port port)
{
    return QString(QLatin1Char(portLetter(port)));
}

qint64 msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The next tick of a fixed schedule that has not passed yet: ticks missed while an exchange
// ran long are skipped, never bunched.
Clock::time_point nextTick(Clock::time_point start, qint64 intervalMs)
{
    const auto interval = std::chrono::milliseconds(intervalMs);
    const auto ticks = (Clock::now() - start) / interval + 1;
    return start + ticks * interval;
}

Reply failed(const QString &type, const Failure &failure)
{
    return Reply{type, failure.code, {}, {}, failure.message};
}

Reply done(const QString &type)
{
    return Reply{type, ExitCode::Success, {}, {}, {}};
}

// The process ends by the signal once the port is closed; the reply says so first.
Reply interrupted(const QString &type)
{
    Reply reply{type,
                ExitCode::ConditionFalse,
                {},
                {},
                QStringLiteral("interrupted by signal %1").arg(Interrupts::received())};
    reply.signal = Interrupts::received();
    return reply;
}

QString conditionTexts(const QList<Condition> &conditions, bool any)
{
    QStringList texts;
    for (const Condition &condition : conditions)
        texts << condition.text;
    return texts.join(any ? QStringLiteral(" or ") : QStringLiteral(" and "));
}

// A reply with the values read; its time is only turned into text if JSON wants it.
Reply reading(const QString &type, const QList<Selector> &selectors, const Inputs &inputs)
{
    Reply reply{type,
                ExitCode::Success,
                showValues(selectors, inputs),
                {{QStringLiteral("values"), valuesObject(selectors, inputs)}},
                {}};
    reply.readAtMs = QDateTime::currentMSecsSinceEpoch();
    return reply;
}

Reply sendAll(BoardClient &board, const Command &command, bool checkAfter)
{
    QJsonArray sent;
    const auto record = [&](Register reg, Port port, quint8 value) {
        sent.append(QJsonObject{{QStringLiteral("register"), reg == Register::Direction
                                                                 ? QStringLiteral("direction")
                                                                 : QStringLiteral("write")},
                                {QStringLiteral("port"), letter(port)},
                                {QStringLiteral("value"), value}});
    };
    if (command.kind == Command::Kind::Reset) {
        if (auto failure = board.reset())
            return failed(command.name, *failure);
        for (const Port port : BoardPorts)
            record(Register::Direction, port, 0xFF);
        for (const Port port : BoardPorts)
            record(Register::Write, port, 0);
    } else {
        for (const Assignment &assignment : command.assignments) {
            QString error;
            const auto value = board.known().resolve(command.reg(), assignment, &error);
            if (!value)
                return Reply{command.name, ExitCode::Usage, {}, {}, error};
            if (auto failure = board.load(command.reg(), assignment.target.port, *value))
                return failed(command.name, *failure);
            record(command.reg(), assignment.target.port, *value);
        }
    }
    Reply reply{command.name, ExitCode::Success, {}, {{QStringLiteral("sent"), sent}}, {}};
    if (checkAfter) {
        if (auto failure = board.check())
            return failed(command.name, *failure);
    }
    reply.fields.insert(QStringLiteral("checked"), checkAfter);
    return reply;
}

Reply expect(BoardClient &board, const Command &command)
{
    const ReadPortsOutcome outcome = board.read();
    if (auto failure = exchangeFailure(outcome))
        return failed(command.name, *failure);
    const ConditionSet &set = command.conditions;
    const QList<Selector> operands = set.operands();
    Reply reply = reading(command.name, operands, outcome.inputs);
    if (!set.holds(outcome.inputs)) {
        reply.code = ExitCode::ConditionFalse;
        reply.problem = QStringLiteral("expected %1, read %2")
                            .arg(conditionTexts(set.conditions, set.any), reply.text);
    }
    return reply;
}

Reply wait(BoardClient &board, const Command &command)
{
    const ConditionSet &set = command.conditions;
    const QList<Selector> operands = set.operands();
    const auto start = Clock::now();
    int streak = 0;
    int samples = 0;
    std::optional<Inputs> last;
    ReadPortsOutcome outcome;
    for (;;) {
        outcome = board.read();
        ++samples;
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost)
            return failed(command.name, lostFailure());
        if (outcome.answered()) {
            last = outcome.inputs;
            streak = set.holds(outcome.inputs) ? streak + 1 : 0;
        } else {
            streak = 0;
        }
        if (streak >= set.stable)
            break;
        const auto next = nextTick(start, set.intervalMs);
        if (set.timeoutMs && next > start + std::chrono::milliseconds(*set.timeoutMs)) {
            if (!outcome.answered())
                return failed(command.name, *exchangeFailure(outcome));
            const QString timeout = durationText(*set.timeoutMs);
            Reply reply = reading(command.name, operands, *last);
            reply.code = ExitCode::ConditionFalse;
            reply.problem =
                QStringLiteral("%1 did not hold%2 within %3; last read %4")
                    .arg(conditionTexts(set.conditions, set.any),
                         set.stable > 1 ? QStringLiteral(" for %1 samples").arg(set.stable)
                                        : QString(),
                         timeout, showValues(operands, *last));
            reply.fields.insert(QStringLiteral("samples"), samples);
            return reply;
        }
        if (!Interrupts::sleepUntil(next))
            return interrupted(command.name);
    }
    Reply reply = reading(command.name, operands, *last);
    reply.fields.insert(QStringLiteral("samples"), samples);
    reply.fields.insert(QStringLiteral("elapsed_ms"), msSince(start));
    return reply;
}

Reply pulse(BoardClient &board, const Command &command)
{
    const Assignment &line = command.assignments.constFirst();
    QString error;
    const auto during = board.known().resolve(Register::Write, line, &error);
    if (!during)
        return Reply{command.name, ExitCode::Usage, {}, {}, error};
    const Port port = line.target.port;
    const quint8 after = quint8(*during ^ (1u << line.target.line));
    if (auto failure = board.load(Register::Write, port, *during))
        return failed(command.name, *failure);
    const bool slept = Interrupts::sleepUntil(Clock::now() + std::chrono::milliseconds(command.ms));
    // The line goes back even when a signal cut the pulse short.
    if (auto failure = board.load(Register::Write, port, after))
        return failed(command.name, *failure);
    return slept ? done(command.name) : interrupted(command.name);
}

Reply state(BoardClient &board, const Command &command)
{
    QStringList parts;
    QJsonObject fields;
    for (const Register reg : {Register::Direction, Register::Write}) {
        const QString name =
            reg == Register::Direction ? QStringLiteral("dir") : QStringLiteral("write");
        QStringList values;
        QJsonObject known;
        for (const Port port : BoardPorts) {
            const auto value = board.known().value(reg, port);
            values << letter(port) + QLatin1Char('=') +
                          (value ? hexByte(*value) : QStringLiteral("?"));
            known.insert(letter(port), value ? QJsonValue(*value) : QJsonValue());
        }
        parts << name + QLatin1Char(' ') + values.join(QLatin1Char(' '));
        fields.insert(reg == Register::Direction ? QStringLiteral("direction")
                                                 : QStringLiteral("write"),
                      known);
    }
    return Reply{command.name, ExitCode::Success, parts.join(QLatin1Char(' ')), fields, {}};
}

} // namespace

bool Command::sends() const
{
    return kind == Kind::Dir || kind == Kind::Write || kind == Kind::Reset || kind == Kind::Pulse;
}

QList<OptionRule> commandOptions(const QString &name)
{
    if (name == QLatin1String("expect"))
        return {AnyOption};
    if (name == QLatin1String("wait")) {
        return {AnyOption,
                IntervalOption,
                {QStringLiteral("--timeout"), true},
                {QStringLiteral("--stable"), true}};
    }
    if (name == QLatin1String("watch")) {
        return {IntervalOption,
                {QStringLiteral("--count"), true},
                {QStringLiteral("--duration"), true}};
    }
    if (name == QLatin1String("ports"))
        return {{QStringLiteral("--probe")}};
    if (name == QLatin1String("batch")) {
        return {{QStringLiteral("-f"), true, QStringLiteral("--file")},
                {QStringLiteral("--keep-going")},
                {QStringLiteral("--check-only")}};
    }
    return {};
}

bool inBatch(const QString &name)
{
    static const QStringList names = {QStringLiteral("read"),   QStringLiteral("dir"),
                                      QStringLiteral("write"),  QStringLiteral("reset"),
                                      QStringLiteral("expect"), QStringLiteral("wait"),
                                      QStringLiteral("sleep"),  QStringLiteral("pulse"),
                                      QStringLiteral("state"),  QStringLiteral("quit")};
    return names.contains(name);
}

std::optional<Command> parseCommand(const QString &name, const ParsedOptions &options,
                                    QString *error)
{
    static const QHash<QString, Command::Kind> kinds = {
        {QStringLiteral("read"), Command::Kind::Read},
        {QStringLiteral("dir"), Command::Kind::Dir},
        {QStringLiteral("write"), Command::Kind::Write},
        {QStringLiteral("reset"), Command::Kind::Reset},
        {QStringLiteral("expect"), Command::Kind::Expect},
        {QStringLiteral("wait"), Command::Kind::Wait},
        {QStringLiteral("sleep"), Command::Kind::Sleep},
        {QStringLiteral("pulse"), Command::Kind::Pulse},
        {QStringLiteral("state"), Command::Kind::State},
        {QStringLiteral("quit"), Command::Kind::Quit}};
    Command command;
    command.name = name;
    command.kind = kinds.value(name);
    const QStringList &args = options.positional;
    const auto expectArgs = [&](qsizetype count, const QString &usage) {
        if (args.size() == count)
            return true;
        *error = args.size() > count
                     ? QStringLiteral("%1: unexpected argument %2; usage: %3")
                           .arg(name, args.value(count), usage)
                     : QStringLiteral("%1: missing argument; usage: %2").arg(name, usage);
        return false;
    };

    switch (command.kind) {
    case Command::Kind::Read: {
        auto selectors = parseSelectors(args, error);
        if (!selectors)
            return std::nullopt;
        command.selectors = *selectors;
        return command;
    }
    case Command::Kind::Dir:
    case Command::Kind::Write:
        if (args.isEmpty()) {
            *error = command.kind == Command::Kind::Dir
                         ? QStringLiteral("dir: nothing to set; usage: dir PORT=VALUE|in|out... "
                                          "(A=0xF0 B=in C.3=out)")
                         : QStringLiteral("write: nothing to write; usage: write "
                                          "PORT=VALUE... (A=0x5A B.3=1)");
            return std::nullopt;
        }
        for (const QString &arg : args) {
            auto assignment = parseAssignment(command.reg(), arg, error);
            if (!assignment)
                return std::nullopt;
            command.assignments << *assignment;
        }
        return command;
    case Command::Kind::Expect:
    case Command::Kind::Wait: {
        auto set = parseConditionSet(options, command.kind == Command::Kind::Wait, error);
        if (!set)
            return std::nullopt;
        command.conditions = *set;
        return command;
    }
    case Command::Kind::Sleep: {
        if (!expectArgs(1, QStringLiteral("sleep D (250ms, 2s)")))
            return std::nullopt;
        auto ms = parseDuration(args[0], error);
        if (!ms)
            return std::nullopt;
        command.ms = *ms;
        return command;
    }
    case Command::Kind::Pulse: {
        const QString usage = QStringLiteral("pulse LINE=BIT D (pulse A.3=1 50ms)");
        if (!expectArgs(2, usage))
            return std::nullopt;
        auto line = parseAssignment(Register::Write, args[0], error);
        if (!line)
            return std::nullopt;
        if (!line->target.isLine()) {
            *error = QStringLiteral("pulse: %1 is a whole port; usage: %2").arg(args[0], usage);
            return std::nullopt;
        }
        auto ms = parseDuration(args[1], error);
        if (!ms)
            return std::nullopt;
        command.assignments << *line;
        command.ms = *ms;
        return command;
    }
    case Command::Kind::Reset:
    case Command::Kind::State:
    case Command::Kind::Quit:
        if (!expectArgs(0, name))
            return std::nullopt;
        return command;
    }
    return std::nullopt;
}

bool checkAgainst(const Command &command, KnownRegisters &known, QString *error)
{
    switch (command.kind) {
    case Command::Kind::Reset:
        known.reset();
        return true;
    case Command::Kind::Dir:
    case Command::Kind::Write:
    case Command::Kind::Pulse:
        for (const Assignment &assignment : command.assignments) {
            const auto value = known.resolve(command.reg(), assignment, error);
            if (!value)
                return false;
            const quint8 after = command.kind == Command::Kind::Pulse
                                     ? quint8(*value ^ (1u << assignment.target.line))
                                     : *value;
            known.set(command.reg(), assignment.target.port, after);
        }
        return true;
    default:
        return true;
    }
}

QJsonObject Reply::json() const
{
    QJsonObject object = fields;
    object.insert(QStringLiteral("ok"), ok());
    if (readAtMs > 0)
        object.insert(QStringLiteral("time"), localTimestamp(readAtMs));
    if (!ok()) {
        object.insert(QStringLiteral("exit"), signal ? 128 + signal : int(code));
        object.insert(QStringLiteral("message"), problem);
    }
    return object;
}

Reply runCommand(BoardClient &board, const Command &command, bool checkAfter)
{
    switch (command.kind) {
    case Command::Kind::Read: {
        const ReadPortsOutcome outcome = board.read();
        if (auto failure = exchangeFailure(outcome))
            return failed(command.name, *failure);
        return reading(command.name, command.selectors, outcome.inputs);
    }
    case Command::Kind::Dir:
    case Command::Kind::Write:
    case Command::Kind::Reset:
        return sendAll(board, command, checkAfter);
    case Command::Kind::Expect:
        return expect(board, command);
    case Command::Kind::Wait:
        return wait(board, command);
    case Command::Kind::Sleep:
        if (!Interrupts::sleepUntil(Clock::now() + std::chrono::milliseconds(command.ms)))
            return interrupted(command.name);
        return done(command.name);
    case Command::Kind::Pulse:
        return pulse(board, command);
    case Command::Kind::State:
        return state(board, command);
    case Command::Kind::Quit:
        return done(command.name);
    }
    return done(command.name);
}

std::optional<WatchPlan> parseWatch(const ParsedOptions &options, QString *error)
{
    WatchPlan plan;
    auto selectors = parseSelectors(options.positional, error);
    if (!selectors)
        return std::nullopt;
    plan.selectors = *selectors;
    if (options.has(IntervalOption.name)) {
        const auto ms = parseDuration(options.value(IntervalOption.name), error);
        if (!ms)
            return std::nullopt;
        if (*ms < 1) {
            *error = QStringLiteral("--interval must be at least 1ms");
            return std::nullopt;
        }
        plan.intervalMs = *ms;
    }
    if (options.has(QStringLiteral("--count"))) {
        const QString text = options.value(QStringLiteral("--count"));
        bool ok = false;
        const qint64 count = text.toLongLong(&ok);
        if (!ok || count < 1 || !text.front().isDigit()) {
            *error = QStringLiteral("bad --count \"%1\": a number of changes, 1 or more").arg(text);
            return std::nullopt;
        }
        plan.count = count;
    }
    if (options.has(QStringLiteral("--duration"))) {
        const auto ms = parseDuration(options.value(QStringLiteral("--duration")), error);
        if (!ms)
            return std::nullopt;
        plan.durationMs = *ms;
    }
    return plan;
}

ExitCode runWatch(BoardClient &board, Output &out, const WatchPlan &plan)
{
    const auto start = Clock::now();
    const auto end = plan.durationMs ? start + std::chrono::milliseconds(*plan.durationMs)
                                     : Clock::time_point::max();
    std::optional<Inputs> last;
    bool silent = false;
    qint64 changes = 0;
    const auto event = [&](const QString &type, const QString &text, QJsonObject fields) {
        const QString time = localTimestamp();
        fields.insert(QStringLiteral("time"), time);
        out.result(time + QLatin1Char(' ') + text, type, fields);
    };

    for (;;) {
        const ReadPortsOutcome outcome = board.read();
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost) {
            Output::diagnostic(QStringLiteral("watch: ") + lostFailure().message);
            return ExitCode::PortLost;
        }
        if (!outcome.answered()) {
            if (!silent) {
                event(QStringLiteral("no-answer"),
                      QStringLiteral("no answer (%1)").arg(bytesCame(outcome.waiting)),
                      {{QStringLiteral("waiting"), int(outcome.waiting)}});
            }
            silent = true;
        } else {
            if (silent && last)
                event(QStringLiteral("answering"), QStringLiteral("answering again"), {});
            silent = false;
            const auto differs = [&] {
                for (const Selector &selector : plan.selectors) {
                    if (selector.valueIn(*last) != selector.valueIn(outcome.inputs))
                        return true;
                }
                return false;
            };
            const bool first = !last;
            if (first || differs()) {
                if (!first)
                    ++changes;
                event(first ? QStringLiteral("state") : QStringLiteral("change"),
                      showValues(plan.selectors, outcome.inputs),
                      {{QStringLiteral("values"), valuesObject(plan.selectors, outcome.inputs)}});
            }
            last = outcome.inputs;
        }
        if (!out.isOpen() || (plan.count && changes >= *plan.count))
            return ExitCode::Success;
        auto next = nextTick(start, plan.intervalMs);
        if (next >= end) {
            if (!Interrupts::sleepUntil(end))
                return ExitCode::Success;
            if (silent) {
                Output::diagnostic(QStringLiteral("watch: the board did not answer at the end"));
                return ExitCode::NoAnswer;
            }
            return ExitCode::Success;
        }
        if (!Interrupts::sleepUntil(next))
            return ExitCode::Success;
    }
}

ExitCode runPorts(Output &out, bool probe)
{
    bool answered = false;
    const QList<PortNumberEntry> entries = portNumberEntries(serialDevices());
    for (const PortNumberEntry &entry : entries) {
        QJsonObject fields{{QStringLiteral("path"), entry.path},
                           {QStringLiteral("device"), entry.device()},
                           {QStringLiteral("present"), entry.present},
                           {QStringLiteral("pseudo_terminal"), entry.pseudoTerminal()}};
        if (entry.number > 0)
            fields.insert(QStringLiteral("number"), entry.number);
        if (entry.hardware) {
            const SerialDeviceInfo &hardware = *entry.hardware;
            const auto text = [&](const char *key, const QString &value) {
                if (!value.isEmpty())
                    fields.insert(QLatin1String(key), value);
            };
            text("description", hardware.description);
            text("manufacturer", hardware.manufacturer);
            text("serial_number", hardware.serialNumber);
            if (hardware.vendorId)
                fields.insert(QStringLiteral("vendor_id"), *hardware.vendorId);
            if (hardware.productId)
                fields.insert(QStringLiteral("product_id"), *hardware.productId);
        }
        if (entry.obstacle)
            fields.insert(QStringLiteral("obstacle"), entry.obstacle->text());

        QString line = (entry.number > 0 ? QString::number(entry.number) : QStringLiteral("-"))
                           .rightJustified(5) +
                       QStringLiteral("  ") + portEntryText(entry);
        if (probe && entry.number > 0 && entry.present) {
            QString result;
            if (entry.obstacle) {
                result = entry.obstacle->failure == OpenFailure::InUse ? QStringLiteral("busy")
                                                                       : QStringLiteral("skipped");
            } else {
                BoardClient board(PortChoice{0, entry.path});
                if (auto failure = board.open()) {
                    result = board.refusal()->failure == OpenFailure::InUse
                                 ? QStringLiteral("busy")
                                 : QStringLiteral("unopenable");
                } else {
                    const ReadPortsOutcome outcome = board.read();
                    board.close();
                    if (outcome.answered()) {
                        result = QStringLiteral("answers");
                        answered = true;
                        const QList<Selector> all = *parseSelectors({}, nullptr);
                        fields.insert(QStringLiteral("values"), valuesObject(all, outcome.inputs));
                        line +=
                            QStringLiteral("  [answers %1]").arg(showValues(all, outcome.inputs));
                    } else {
                        result = QStringLiteral("silent");
                    }
                }
            }
            fields.insert(QStringLiteral("probe"), result);
            if (result != QLatin1String("answers"))
                line += QStringLiteral("  [%1]").arg(result);
        }
        out.result(line, QStringLiteral("port"), fields);
        if (Interrupts::received())
            break;
    }
    if (entries.isEmpty() && !out.json())
        out.text(QStringLiteral("No serial device, and no port number names one."));
    if (probe && !answered) {
        Output::diagnostic(QStringLiteral("ports: no board answered on any free numbered port"));
        return ExitCode::ConditionFalse;
    }
    return ExitCode::Success;
}
