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

} // namespace

Reply failed(const QString &type, const Failure &failure)
{
    Reply reply{type, failure.code, {}, {}, failure.message};
    reply.signal = failure.signal;
    if (failure.received >= 0)
        reply.fields.insert(QStringLiteral("received"), failure.received);
    return reply;
}

namespace {

Reply done(const QString &type)
{
    return Reply{type, ExitCode::Success, {}, {}, {}};
}

// The process ends by the signal (or by SIGPIPE, when the reader of standard output went away)
// once the port is closed; the reply says so first.
Reply interrupted(const QString &type)
{
    return failed(type, interruptedFailure());
}

// What went out, as JSON: {"register": "write", "port": "A", "value": 90} for each command.
QJsonArray sentList(const BoardClient &board)
{
    QJsonArray sent;
    for (const BoardClient::Sent &command : board.sent()) {
        sent.append(QJsonObject{{QStringLiteral("register"), command.reg == Register::Direction
                                                                 ? QStringLiteral("direction")
                                                                 : QStringLiteral("write")},
                                {QStringLiteral("port"), letter(command.port)},
                                {QStringLiteral("value"), command.value}});
    }
    return sent;
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
    Reply reply{type, ExitCode::Success, showValues(selectors, inputs), {}, {}};
    reply.readAtMs = QDateTime::currentMSecsSinceEpoch();
    reply.selectors = selectors;
    reply.inputs = inputs;
    return reply;
}

Reply sendAll(BoardClient &board, const Command &command, bool checkAfter)
{
    board.clearSent();
    std::optional<Failure> failure;
    if (command.kind == Command::Kind::Reset) {
        failure = board.reset();
    } else {
        for (const Assignment &assignment : command.assignments) {
            QString error;
            const auto value = board.known().resolve(command.reg(), assignment, &error);
            failure = value ? board.load(command.reg(), assignment.target.port, *value)
                            : Failure{ExitCode::Usage, error};
            if (failure)
                break;
        }
    }
    const bool sentAll = !failure;
    if (sentAll && checkAfter)
        failure = board.check();
    // Said also on failure: a script must know what reached the board before it.
    Reply reply = failure ? failed(command.name, *failure) : done(command.name);
    reply.fields.insert(QStringLiteral("sent"), sentList(board));
    if (sentAll)
        reply.fields.insert(QStringLiteral("checked"), checkAfter);
    return reply;
}

Reply expect(BoardClient &board, const Command &command)
{
    const ReadPortsOutcome outcome = board.read();
    if (auto failure = board.exchangeFailure(outcome))
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
        if (outcome.kind == ReadPortsOutcome::Kind::Interrupted)
            return interrupted(command.name);
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost)
            return failed(command.name, board.lost());
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
                return failed(command.name, *board.exchangeFailure(outcome));
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
    board.clearSent();
    auto failure = board.load(Register::Write, port, *during);
    if (!failure) {
        const bool slept =
            Interrupts::sleepUntil(Clock::now() + std::chrono::milliseconds(command.ms));
        // The line goes back even when a signal cut the pulse short.
        failure = board.load(Register::Write, port, after);
        if (!failure && !slept)
            failure = interruptedFailure();
    }
    Reply reply = failure ? failed(command.name, *failure) : done(command.name);
    reply.fields.insert(QStringLiteral("sent"), sentList(board));
    return reply;
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
    if (!selectors.isEmpty())
        object.insert(QStringLiteral("values"), valuesObject(selectors, inputs));
    object.insert(QStringLiteral("ok"), ok());
    if (readAtMs > 0) {
        object.insert(QStringLiteral("time"), localTimestamp(readAtMs));
        // The whole reading, whatever was selected, so a program needs no second read.
        QJsonObject whole;
        for (const Port port : BoardPorts)
            whole.insert(letter(port), inputs[portIndex(port)]);
        object.insert(QStringLiteral("inputs"), whole);
    }
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
        if (auto failure = board.exchangeFailure(outcome))
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

    // A signal ends a watch with 0 wherever it comes, also before the first sample; so does a
    // reader of the output that went away.
    const auto ended = [&] { return Interrupts::received() != 0 || !out.isOpen(); };
    const auto endCode = [&] { return out.failed() ? ExitCode::WriteFailed : ExitCode::Success; };
    for (;;) {
        if (ended())
            return endCode();
        const ReadPortsOutcome outcome = board.read();
        if (outcome.kind == ReadPortsOutcome::Kind::Interrupted)
            return endCode();
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost) {
            const Failure failure = board.lost();
            Output::diagnostic(QStringLiteral("watch: ") + failure.message);
            return failure.code;
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
        if (ended() || (plan.count && changes >= *plan.count))
            return endCode();
        auto next = nextTick(start, plan.intervalMs);
        if (next >= end) {
            if (!Interrupts::sleepUntil(end))
                return endCode();
            if (silent) {
                Output::diagnostic(QStringLiteral("watch: the board did not answer at the end"));
                return ExitCode::NoAnswer;
            }
            return ExitCode::Success;
        }
        if (!Interrupts::sleepUntil(next))
            return endCode();
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
                BoardClient board(PortChoice{0, entry.path, std::nullopt});
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
        if (Interrupts::received() || !out.isOpen())
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
