// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardclient.h"

#include "diagnostic.h"
#include "interrupts.h"

#include <cstdio>

namespace {

std::string refusalHint(const OpenRefusal &refusal)
{
    switch (refusal.failure) {
    case OpenFailure::InUse:
        if (refusal.by != InUseBy::ControllingTerminal && refusal.by != InUseBy::SystemConsole &&
            refusal.by != InUseBy::RemoteClient)
            return " (busy: is Zarvex Test or another program connected?)";
        break;
    case OpenFailure::PermissionDenied:
        if (refusal.detail.empty())
            return " (no group gives access to it here: ask whoever runs this machine)";
        break;
    case OpenFailure::NoSuchDevice:
        if (!refusal.detail.empty())
            break; // it says what is there already
        return " (absent: is the board plugged in? zarvex ports lists what is there)";
    case OpenFailure::NotSerial:
    case OpenFailure::Ambiguous:
    case OpenFailure::Unreachable:
    case OpenFailure::Other:
        break;
    }
    return {};
}

const char *reasonWord(OpenFailure failure)
{
    switch (failure) {
    case OpenFailure::NoSuchDevice:
        return "absent";
    case OpenFailure::InUse:
        return "busy";
    case OpenFailure::PermissionDenied:
        return "permission";
    case OpenFailure::NotSerial:
        return "not-serial";
    case OpenFailure::Unreachable:
        return "unreachable";
    case OpenFailure::Ambiguous:
        return "ambiguous";
    case OpenFailure::Other:
        break;
    }
    return "other";
}

// Seconds as people write them: 0.4, 1.25
std::string secondsText(int ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms / 1000.0);
    return text;
}

} // namespace

BoardClient::BoardClient(const PortTarget &target) : m_target(target)
{
    makeLink();
}

// Made anew for each open after a loss, so that the target is looked up again.
void BoardClient::makeLink()
{
    m_commands.reset();
    m_link = ::makeLink(m_target);
    m_commands = std::make_unique<CommandSet>(*m_link);
    // A script asks again at once: a reply that came late must not pass for the next answer.
    m_commands->setWaitOutLateReplies(true);
    // A board that takes no bytes, or a server that does not answer, must not keep zarvex
    // from ending.
    m_link->setInterruptCheck(
        [] { return Interrupts::received() != 0 || Interrupts::readerGone(); });
}

std::optional<Failure> BoardClient::open()
{
    m_refusal = m_link->open();
    const std::optional<OpenRefusal> &refusal = m_refusal;
    if (!refusal) {
        if (const auto network = m_link->network()) {
            m_commands->setTransitAllowanceMs(network->roundTripMs);
            if (!network->settingsProblem.empty())
                diagnostic("warning: " + network->settingsProblem);
        }
        return std::nullopt;
    }
    if (m_link->interruptRequested())
        return interruptedFailure();
    const bool numbered = m_target.kind == PortTarget::Kind::Number;
    const std::string name =
        numbered && !refusal->path.starts_with("port ")
            ? "port " + std::to_string(m_target.number) + " (" + refusal->path + ")"
            : m_target.described();
    return Failure{ExitCode::CannotOpen,
                   "cannot open " + name + ": " + refusal->text() + refusalHint(*refusal)};
}

Json BoardClient::refusalJson(const Failure &failure) const
{
    Json fields = {
        {"path", m_refusal && !m_refusal->path.empty() ? m_refusal->path : m_target.described()}};
    if (failure.signal || !m_refusal) {
        fields["reason"] = "interrupted";
        return fields;
    }
    fields["reason"] = reasonWord(m_refusal->failure);
    if (m_refusal->pid > 0)
        fields["pid"] = m_refusal->pid;
    if (!m_refusal->processName.empty())
        fields["process"] = m_refusal->processName;
    return fields;
}

void BoardClient::close()
{
    m_link->close();
}

std::optional<Failure> BoardClient::load(Register reg, Port port, std::uint8_t value)
{
    const SendOutcome outcome = reg == Register::Direction
                                    ? m_commands->sendSetDirection(port, value)
                                    : m_commands->sendWritePort(port, value);
    if (outcome == SendOutcome::Interrupted)
        return interruptedFailure();
    if (outcome != SendOutcome::Sent)
        return lost();
    m_sent.push_back({reg, port, value});
    m_known.set(reg, port, value);
    return std::nullopt;
}

std::optional<Failure> BoardClient::reset()
{
    for (const PortCommand &command : CommandSet::ResetSequence) {
        const Register reg =
            command.kind == PortCommand::Kind::SetDirection ? Register::Direction : Register::Write;
        if (auto failure = load(reg, command.port, command.value))
            return failure;
    }
    return std::nullopt;
}

std::optional<Failure> BoardClient::check()
{
    return exchangeFailure(read(), "the commands were sent, but the board did not answer the "
                                   "check that follows them");
}

void BoardClient::event(const std::string &text, Json fields)
{
    const std::string time = localTimestamp();
    fields["time"] = time;
    m_events->result(time + ' ' + text, "event", fields);
    // Not held behind the wait for the board.
    m_events->flush();
}

void BoardClient::sayGone(const Failure &loss)
{
    m_link->close();
    m_loss = loss;
    event("board gone (" + loss.message + ")", {{"event", "gone"}, {"message", loss.message}});
}

std::optional<Failure> BoardClient::comeBack(std::chrono::steady_clock::time_point until)
{
    using Clock = Interrupts::Clock;
    constexpr auto Retry = std::chrono::milliseconds(250);
    for (;;) {
        auto next = Clock::now() + Retry;
        for (;;) {
            makeLink();
            const auto refused = open();
            if (!refused)
                break;
            if (refused->signal)
                return refused;
            if (Clock::now() >= until)
                return m_loss;
            const bool slept = Interrupts::sleepUntil(std::min(next, until));
            if (!slept)
                return interruptedFailure();
            next += Retry;
        }
        event("back", {{"event", "back"}});
        // The board may have been reset meanwhile.
        m_known = KnownRegisters();
        m_sent.clear();
        if (!m_afterBack)
            return std::nullopt;
        auto failure = m_afterBack(*this);
        if (!failure)
            return std::nullopt;
        if (usable())
            return failure;
        sayGone(lost());
    }
}

void reportOpenFailure(Output &out, const Failure &failure, const BoardClient *board,
                       std::optional<int> exitStatus)
{
    diagnostic(failure.message);
    if (!out.json())
        return;
    Json fields = board ? board->refusalJson(failure) : Json{{"reason", "usage"}};
    fields["ok"] = false;
    fields["exit"] = exitStatus.value_or(failure.signal ? 128 + failure.signal : int(failure.code));
    fields["message"] = failure.message;
    out.object("open", fields);
}

std::optional<Failure> BoardClient::exchangeFailure(const ReadPortsOutcome &outcome,
                                                    const std::string &what)
{
    switch (outcome.kind) {
    case ReadPortsOutcome::Kind::Inputs:
        return std::nullopt;
    case ReadPortsOutcome::Kind::Timeout: {
        // Named once the network's round trip is a large part of the wait: the board may be
        // fine and the link too slow.
        // A raw server behind a tunnel lets us measure only the tunnel's near end.
        const int transitMs = m_commands->transitAllowanceMs();
        const auto network = m_link->network();
        std::string trip;
        std::string unknownTrip;
        if (network && transitMs * 4 >= CommandSet::ReplyDeadlineMs) {
            trip = " and " + secondsText(transitMs) + " s for the network's round trip to " +
                   network->hostPort;
        } else if (network && !network->telnet && outcome.waiting == 0) {
            unknownTrip = "; a slower network looks the same over socket://, while rfc2217:// "
                          "measures its round trip and waits for it";
        }
        return Failure{ExitCode::NoAnswer,
                       (what.empty() ? "the board did not answer" : what) + " within " +
                           secondsText(CommandSet::ReplyDeadlineMs) + " s" + trip + " (" +
                           bytesCame(outcome.waiting) + ")" + unknownTrip,
                       0, outcome.waiting};
    }
    case ReadPortsOutcome::Kind::Interrupted:
        return interruptedFailure();
    case ReadPortsOutcome::Kind::PortLost:
        break;
    }
    return lost();
}

Failure BoardClient::lost()
{
    if (auto late = m_link->lateRefusal()) {
        m_refusal = std::move(late);
        // A busy server passed nothing on; a telnet one did, mangled.
        if (m_refusal->failure == OpenFailure::InUse)
            m_sent.clear();
        return Failure{ExitCode::CannotOpen, "cannot open " + m_target.described() + ": " +
                                                 m_refusal->text() + refusalHint(*m_refusal)};
    }
    if (std::string loss = m_link->lossText(); !loss.empty())
        return Failure{ExitCode::PortLost, std::move(loss)};
    return Failure{ExitCode::PortLost, "the port was lost (unplugged, or the device went away)"};
}

void BoardClient::describeLink(Json &fields) const
{
    const auto network = m_link->network();
    if (!network)
        return;
    fields["reply_deadline_ms"] = m_commands->replyDeadlineMs();
    fields["round_trip_ms"] = network->roundTripMs;
    if (network->telnet)
        fields["settings"] = network->settingsProblem.empty() ? "confirmed" : "unconfirmed";
}

Failure interruptedFailure()
{
    if (Interrupts::received() == 0 && Interrupts::readerGone())
        return Failure{ExitCode::ConditionFalse, "the reader of standard output went away",
                       Interrupts::ReaderGoneSignal};
    return Failure{ExitCode::ConditionFalse,
                   "interrupted by signal " + std::to_string(Interrupts::received()),
                   Interrupts::received()};
}
