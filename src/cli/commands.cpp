// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "commands.h"

#include "boardclient.h"
#include "boardfile.h"
#include "device/portname.h"
#include "diagnostic.h"
#include "edges.h"
#include "interrupts.h"

namespace {

using Clock = Interrupts::Clock;

std::string letter(Port port)
{
    return std::string(1, portLetter(port));
}

std::int64_t msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The next tick of a fixed schedule that has not passed yet: ticks missed while an exchange
// ran long are skipped, never bunched.
Clock::time_point nextTick(Clock::time_point start, std::int64_t intervalMs)
{
    const auto interval = std::chrono::milliseconds(intervalMs);
    const auto ticks = (Clock::now() - start) / interval + 1;
    return start + ticks * interval;
}

} // namespace

Reply failed(const std::string &type, const Failure &failure)
{
    Reply reply{type, failure.code, {}, Json::object(), failure.message};
    reply.signal = failure.signal;
    if (failure.received)
        reply.fields["received"] = *failure.received;
    return reply;
}

namespace {

Reply done(const std::string &type)
{
    return Reply{type, ExitCode::Success, {}, Json::object(), {}};
}

// The process ends by the signal (or by SIGPIPE, when the reader of standard output went away)
// once the port is closed; the reply says so first.
Reply interrupted(const std::string &type)
{
    return failed(type, interruptedFailure());
}

// What went out, as JSON: {"port": "A", "register": "write", "value": 90} for each command.
Json sentList(const BoardClient &board)
{
    Json sent = Json::array();
    for (const BoardClient::Sent &command : board.sent()) {
        sent.push_back({{"register", command.reg == Register::Direction ? "direction" : "write"},
                        {"port", letter(command.port)},
                        {"value", command.value}});
    }
    return sent;
}

std::string conditionTexts(const std::vector<Condition> &conditions, bool any)
{
    std::string texts;
    for (const Condition &condition : conditions) {
        if (!texts.empty())
            texts += any ? " or " : " and ";
        texts += condition.text;
    }
    return texts;
}

// A reply with the values read; its time is only turned into text if JSON wants it.
Reply reading(const std::string &type, const std::vector<Selector> &selectors, const Inputs &inputs)
{
    Reply reply{type, ExitCode::Success, showValues(selectors, inputs), Json::object(), {}};
    reply.readAtMs = msSinceEpoch();
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
    } else if (command.kind == Command::Kind::Setup) {
        failure = runSetup(board, *command.board);
    } else {
        for (const Assignment &assignment : command.assignments) {
            std::string error;
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
    reply.fields["sent"] = sentList(board);
    if (sentAll)
        reply.fields["checked"] = checkAfter;
    return reply;
}

Reply state(BoardClient &board, const Command &command);

// The registers setup loaded, and the level each named output is left at.
Reply setup(BoardClient &board, const Command &command, bool checkAfter)
{
    Reply reply = sendAll(board, command, checkAfter);
    if (!reply.ok())
        return reply;
    const Reply loaded = state(board, command);
    reply.text = loaded.text;
    reply.fields.update(loaded.fields);
    Json names = Json::object();
    for (const NamedLine &named : command.board->lines) {
        if (!named.output)
            continue;
        reply.text += ' ' + named.name + '=' + (named.initial ? '1' : '0');
        names[named.name] = int(named.initial);
    }
    reply.fields["names"] = names;
    return reply;
}

Reply expect(BoardClient &board, const Command &command)
{
    const ReadPortsOutcome outcome = board.read();
    if (auto failure = board.exchangeFailure(outcome))
        return failed(command.name, *failure);
    const ConditionSet &set = command.conditions;
    Reply reply = reading(command.name, set.operands(), outcome.inputs);
    if (!set.holds(outcome.inputs)) {
        reply.code = ExitCode::ConditionFalse;
        reply.problem =
            "expected " + conditionTexts(set.conditions, set.any) + ", read " + reply.text;
    }
    return reply;
}

Reply wait(BoardClient &board, const Command &command)
{
    const ConditionSet &set = command.conditions;
    const std::vector<Selector> operands = set.operands();
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
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost) {
            const Failure loss = board.lost();
            if (!command.reconnect || !board.reconnects())
                return failed(command.name, loss);
            board.sayGone(loss);
            const auto until = set.timeoutMs ? start + std::chrono::milliseconds(*set.timeoutMs)
                                             : Clock::time_point::max();
            if (auto ended = board.comeBack(until))
                return failed(command.name, *ended);
            streak = 0;
            continue; // a fresh reading at once
        }
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
            Reply reply = reading(command.name, operands, *last);
            reply.code = ExitCode::ConditionFalse;
            reply.problem =
                conditionTexts(set.conditions, set.any) + " did not hold" +
                (set.stable > 1 ? " for " + std::to_string(set.stable) + " samples" : "") +
                " within " + durationText(*set.timeoutMs) + "; last read " +
                showValues(operands, *last);
            reply.fields["samples"] = samples;
            return reply;
        }
        if (!Interrupts::sleepUntil(next))
            return interrupted(command.name);
    }
    Reply reply = reading(command.name, operands, *last);
    reply.fields["samples"] = samples;
    reply.fields["elapsed_ms"] = msSince(start);
    return reply;
}

Reply pulse(BoardClient &board, const Command &command)
{
    const Assignment &line = command.assignments.front();
    std::string error;
    const auto during = board.known().resolve(Register::Write, line, &error);
    if (!during)
        return Reply{command.name, ExitCode::Usage, {}, Json::object(), error};
    const Port port = line.target.port;
    const auto after = std::uint8_t(*during ^ (1u << line.target.line));
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
    reply.fields["sent"] = sentList(board);
    return reply;
}

Reply state(BoardClient &board, const Command &command)
{
    std::string text;
    Json fields = Json::object();
    for (const Register reg : {Register::Direction, Register::Write}) {
        text += text.empty() ? "" : " ";
        text += reg == Register::Direction ? "dir" : "write";
        Json known = Json::object();
        for (const Port port : BoardPorts) {
            const auto value = board.known().value(reg, port);
            text += ' ' + letter(port) + '=' + (value ? hexByte(*value) : "?");
            known[letter(port)] = value ? Json(*value) : Json();
        }
        fields[reg == Register::Direction ? "direction" : "write"] = known;
    }
    return Reply{command.name, ExitCode::Success, text, fields, {}};
}

} // namespace

bool Command::sends() const
{
    return kind == Kind::Dir || kind == Kind::Write || kind == Kind::Reset || kind == Kind::Pulse ||
           kind == Kind::Setup;
}

bool checkAgainst(const Command &command, KnownRegisters &known, std::string *error)
{
    switch (command.kind) {
    case Command::Kind::Reset:
        known.reset();
        return true;
    case Command::Kind::Setup: {
        const BoardFile::Registers registers = command.board->setupRegisters();
        for (const Port port : BoardPorts) {
            known.set(Register::Direction, port, registers.direction[portIndex(port)]);
            known.set(Register::Write, port, registers.write[portIndex(port)]);
        }
        return true;
    }
    case Command::Kind::Dir:
    case Command::Kind::Write:
    case Command::Kind::Pulse:
        for (const Assignment &assignment : command.assignments) {
            const auto value = known.resolve(command.reg(), assignment, error);
            if (!value)
                return false;
            const std::uint8_t after = command.kind == Command::Kind::Pulse
                                           ? std::uint8_t(*value ^ (1u << assignment.target.line))
                                           : *value;
            known.set(command.reg(), assignment.target.port, after);
        }
        return true;
    default:
        return true;
    }
}

Json Reply::json() const
{
    Json object = fields.is_object() ? fields : Json::object();
    if (!selectors.empty())
        object["values"] = valuesObject(selectors, inputs);
    object["ok"] = ok();
    if (readAtMs > 0) {
        object["time"] = localTimestamp(readAtMs);
        // The whole reading, whatever was selected, so a program needs no second read.
        Json whole = Json::object();
        for (const Port port : BoardPorts)
            whole[letter(port)] = inputs[portIndex(port)];
        object["inputs"] = whole;
        if (names) {
            Json levels = Json::object();
            for (const NamedLine &named : *names) {
                const Selector line{named.port, named.line, named.name, named.activeLow};
                levels[named.name] = line.valueIn(inputs);
            }
            object["names"] = levels;
        }
    }
    if (!ok()) {
        object["exit"] = signal ? 128 + signal : int(code);
        object["message"] = problem;
    }
    return object;
}

std::optional<Failure> runSetup(BoardClient &board, const BoardFile &file)
{
    const BoardFile::Registers registers = file.setupRegisters();
    for (const Register reg : {Register::Write, Register::Direction}) {
        const auto &values = reg == Register::Write ? registers.write : registers.direction;
        for (const Port port : BoardPorts) {
            if (auto failure = board.load(reg, port, values[portIndex(port)]))
                return failure;
        }
    }
    return std::nullopt;
}

namespace {

Reply runKind(BoardClient &board, const Command &command, bool checkAfter)
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
    case Command::Kind::Setup:
        return setup(board, command, checkAfter);
    }
    return done(command.name);
}

} // namespace

Reply runCommand(BoardClient &board, const Command &command, bool checkAfter)
{
    Reply reply = runKind(board, command, checkAfter);
    if (command.board)
        reply.names = &command.board->lines;
    return reply;
}

ExitCode runWatch(BoardClient &board, Output &out, const WatchPlan &plan)
{
    const auto start = Clock::now();
    const auto end = plan.durationMs ? start + std::chrono::milliseconds(*plan.durationMs)
                                     : Clock::time_point::max();
    if (plan.reconnect)
        board.setReconnect(out);
    std::optional<Inputs> last;
    bool silent = false;
    std::int64_t changes = 0;
    EdgeTracker edges(plan.edges ? edgeLines(plan.selectors) : std::vector<Selector>(),
                      plan.stable);
    const auto event = [&](const std::string &type, const std::string &text, Json fields) {
        const std::string time = localTimestamp();
        fields["time"] = time;
        out.result(time + ' ' + text, type, fields);
    };
    // "B.0 DONE=1 initial", "B.0=1"
    const auto showEdge = [&](const EdgeEvent &edge) {
        const Selector &line = edges.lines()[edge.line];
        const std::string where = letter(line.port) + '.' + std::to_string(line.line);
        const bool initial = edge.kind == EdgeEvent::Kind::Initial;
        Json fields = {{"event", initial ? "initial" : "edge"},
                       {"line", where},
                       {"value", edge.value},
                       {"time", localTimestamp(edge.atMs)}};
        std::string text = where;
        if (!line.alias.empty()) {
            fields["name"] = line.alias;
            text += ' ' + line.alias;
        }
        text += '=' + std::to_string(edge.value) + (initial ? " initial" : "");
        out.result(fields["time"].get<std::string>() + ' ' + text, "event", fields);
    };

    // A signal ends a watch with 0 wherever it comes, also before the first sample; so does a
    // reader of the output that went away.
    const auto ended = [&] { return Interrupts::received() != 0 || !out.isOpen(); };
    const auto endCode = [&] { return out.failed() ? ExitCode::WriteFailed : ExitCode::Success; };
    const auto counted = [&] { return plan.count && changes >= *plan.count; };
    for (;;) {
        if (ended())
            return endCode();
        const ReadPortsOutcome outcome = board.read();
        const std::int64_t readAtMs = msSinceEpoch();
        if (outcome.kind == ReadPortsOutcome::Kind::Interrupted)
            return endCode();
        if (outcome.kind == ReadPortsOutcome::Kind::PortLost) {
            const Failure failure = board.lost();
            if (!plan.reconnect) {
                diagnostic("watch: " + failure.message);
                return failure.code;
            }
            board.sayGone(failure);
            if (auto gone = board.comeBack(end)) {
                if (gone->signal)
                    return endCode();
                diagnostic("watch: " + gone->message);
                return gone->code;
            }
            // A fresh reading at once, said whole.
            last.reset();
            silent = false;
            edges.restart();
            continue;
        }
        if (!outcome.answered()) {
            if (!silent) {
                event("no-answer", "no answer (" + bytesCame(outcome.waiting) + ")",
                      {{"waiting", int(outcome.waiting)}});
            }
            silent = true;
            edges.missed();
        } else {
            if (silent && last)
                event("answering", "answering again", Json::object());
            silent = false;
            const auto differs = [&] {
                for (const Selector &selector : plan.selectors) {
                    if (selector.valueIn(*last) != selector.valueIn(outcome.inputs))
                        return true;
                }
                return false;
            };
            const bool first = !last;
            if (plan.edges) {
                for (const EdgeEvent &edge : edges.take(outcome.inputs, readAtMs)) {
                    showEdge(edge);
                    if (edge.kind == EdgeEvent::Kind::Edge && (++changes, counted()))
                        break;
                }
            } else if (first || differs()) {
                if (!first)
                    ++changes;
                event(first ? "state" : "change", showValues(plan.selectors, outcome.inputs),
                      {{"values", valuesObject(plan.selectors, outcome.inputs)}});
            }
            last = outcome.inputs;
        }
        if (ended() || counted())
            return endCode();
        auto next = nextTick(start, plan.intervalMs);
        if (next >= end) {
            if (!Interrupts::sleepUntil(end))
                return endCode();
            if (silent) {
                diagnostic("watch: the board did not answer at the end");
                return ExitCode::NoAnswer;
            }
            return ExitCode::Success;
        }
        if (!Interrupts::sleepUntil(next))
            return endCode();
    }
}

namespace {

// "    3", "    -": the number right-aligned in five columns.
std::string numberColumn(int number)
{
    std::string text = number > 0 ? std::to_string(number) : "-";
    return text.size() < 5 ? std::string(5 - text.size(), ' ') + text : text;
}

} // namespace

ExitCode runPorts(Output &out, bool probe)
{
    bool answered = false;
    const std::vector<PortNumberEntry> entries = portNumberEntries(serialDevices());
    for (const PortNumberEntry &entry : entries) {
        Json fields = {{"path", entry.path},
                       {"device", entry.device()},
                       {"present", entry.present},
                       {"pseudo_terminal", entry.pseudoTerminal()}};
        if (entry.number > 0)
            fields["number"] = entry.number;
        if (entry.hardware) {
            const SerialDeviceInfo &hardware = *entry.hardware;
            const auto text = [&](const char *key, const std::string &value) {
                if (!value.empty())
                    fields[key] = value;
            };
            text("description", hardware.description);
            text("manufacturer", hardware.manufacturer);
            text("product", hardware.product);
            text("serial_number", hardware.serialNumber);
            text("stable_path", hardware.stablePath);
            text("location_path", hardware.locationPath);
            if (hardware.vendorId)
                fields["vendor_id"] = *hardware.vendorId;
            if (hardware.productId)
                fields["product_id"] = *hardware.productId;
        }
        if (entry.obstacle)
            fields["obstacle"] = entry.obstacle->text();

        // The window's words, and then the names that stay with a device, ahead of what keeps
        // this user from it.
        PortNumberEntry unmarked = entry;
        unmarked.obstacle.reset();
        std::string described = portEntryText(unmarked);
        const std::string mark = portEntryText(entry).substr(described.size());
        if (entry.present && entry.hardware) {
            const SerialDeviceInfo &hardware = *entry.hardware;
            if (!hardware.product.empty() && hardware.product != hardware.description)
                described += ", product " + hardware.product;
            if (!hardware.stablePath.empty())
                described += ", " + hardware.stablePath;
        }
        std::string line = numberColumn(entry.number) + "  " + described + mark;
        if (probe && entry.number > 0 && entry.present) {
            std::string result;
            if (entry.obstacle) {
                result = entry.obstacle->failure == OpenFailure::InUse ? "busy" : "skipped";
            } else {
                PortTarget target;
                target.kind = PortTarget::Kind::Path;
                target.path = entry.path;
                BoardClient board(target);
                if (auto failure = board.open()) {
                    result = board.refusal()->failure == OpenFailure::InUse ? "busy" : "unopenable";
                } else {
                    const ReadPortsOutcome outcome = board.read();
                    board.close();
                    if (outcome.answered()) {
                        result = "answers";
                        answered = true;
                        std::string unused;
                        const std::vector<Selector> all = *parseSelectors({}, &unused);
                        fields["values"] = valuesObject(all, outcome.inputs);
                        line += "  [answers " + showValues(all, outcome.inputs) + "]";
                    } else {
                        result = "silent";
                    }
                }
            }
            fields["probe"] = result;
            if (result != "answers")
                line += "  [" + result + "]";
        }
        out.result(line, "port", fields);
        if (Interrupts::received() || !out.isOpen())
            break;
    }
    if (entries.empty() && !out.json())
        out.text("No serial device, and no port number names one.");
    if (probe && !answered) {
        diagnostic("ports: no board answered on any free numbered port");
        return ExitCode::ConditionFalse;
    }
    return ExitCode::Success;
}
