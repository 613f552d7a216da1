// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardclient.h"

#include "interrupts.h"
#include "output.h"

#include <csignal>

namespace {

std::unique_ptr<SerialLink> linkFor(const PortChoice &choice)
{
    if (choice.remote)
        return std::make_unique<SocketLink>(*choice.remote);
    if (choice.number > 0)
        return std::make_unique<QtSerialLink>(); // the window's own naming
    return std::make_unique<QtSerialLink>(nullptr, [path = choice.path](int) { return path; });
}

QString refusalHint(const OpenRefusal &refusal)
{
    switch (refusal.failure) {
    case OpenFailure::InUse:
        if (refusal.by != InUseBy::ControllingTerminal && refusal.by != InUseBy::SystemConsole &&
            refusal.by != InUseBy::RemoteClient)
            return QStringLiteral(" (busy: is Zarvex Test or another program connected?)");
        break;
    case OpenFailure::PermissionDenied:
        if (refusal.detail.isEmpty())
            return QStringLiteral(
                " (no group gives access to it here: ask whoever runs this machine)");
        break;
    case OpenFailure::NoSuchDevice:
        return QStringLiteral(" (absent: is the board plugged in? zarvex ports lists what "
                              "is there)");
    case OpenFailure::NotSerial:
    case OpenFailure::Unreachable:
    case OpenFailure::Other:
        break;
    }
    return {};
}

} // namespace

std::optional<PortChoice> PortChoice::fromText(const QString &text, QString *error)
{
    if (!RemoteAddress::looksLikeUrl(text))
        return PortChoice{0, text, std::nullopt};
    auto remote = RemoteAddress::parse(text, error);
    if (!remote)
        return std::nullopt;
    return PortChoice{0, remote->url(), remote};
}

QString PortChoice::described() const
{
    return number > 0 ? QStringLiteral("port %1").arg(number) : path;
}

BoardClient::BoardClient(const PortChoice &choice)
    : m_choice(choice), m_link(linkFor(choice)), m_commands(*m_link)
{
    m_local = qobject_cast<QtSerialLink *>(m_link.get());
    m_remote = qobject_cast<SocketLink *>(m_link.get());
    m_link->setCommPort(choice.number > 0 ? choice.number : 1);
    // A script asks again at once: a reply that came late must not pass for the next answer.
    m_commands.setWaitOutLateReplies(true);
    // A board that takes no bytes, or a server that does not answer, must not keep zarvex
    // from ending.
    m_link->setInterruptCheck(
        [] { return Interrupts::received() != 0 || Interrupts::readerGone(); });
}

QString BoardClient::path() const
{
    return m_remote ? m_remote->address().url() : m_local->systemLocation();
}

QString BoardClient::device() const
{
    return m_remote ? m_remote->peer() : m_local->device();
}

std::optional<Failure> BoardClient::open()
{
    m_refusal = m_link->open();
    const std::optional<OpenRefusal> &refusal = m_refusal;
    if (!refusal && m_remote) {
        m_commands.setTransitAllowanceMs(m_remote->roundTripMs());
        if (const QString problem = m_remote->settingsProblem(); !problem.isEmpty())
            Output::diagnostic(QStringLiteral("warning: ") + problem);
    }
    if (!refusal)
        return std::nullopt;
    if (m_link->interruptRequested())
        return interruptedFailure();
    const QString name =
        m_choice.number > 0 && !refusal->path.startsWith(QLatin1String("port "))
            ? QStringLiteral("port %1 (%2)").arg(m_choice.number).arg(refusal->path)
            : m_choice.described();
    return Failure{
        ExitCode::CannotOpen,
        QStringLiteral("cannot open %1: %2%3").arg(name, refusal->text(), refusalHint(*refusal))};
}

QJsonObject BoardClient::refusalJson(const Failure &failure) const
{
    QJsonObject fields{{QStringLiteral("path"), m_refusal && !m_refusal->path.isEmpty()
                                                    ? m_refusal->path
                                                    : m_choice.described()}};
    if (failure.signal || !m_refusal) {
        fields.insert(QStringLiteral("reason"), QStringLiteral("interrupted"));
        return fields;
    }
    static const QHash<OpenFailure, QString> reasons{
        {OpenFailure::NoSuchDevice, QStringLiteral("absent")},
        {OpenFailure::InUse, QStringLiteral("busy")},
        {OpenFailure::PermissionDenied, QStringLiteral("permission")},
        {OpenFailure::NotSerial, QStringLiteral("not-serial")},
        {OpenFailure::Unreachable, QStringLiteral("unreachable")},
        {OpenFailure::Other, QStringLiteral("other")}};
    fields.insert(QStringLiteral("reason"), reasons.value(m_refusal->failure));
    if (m_refusal->pid > 0)
        fields.insert(QStringLiteral("pid"), m_refusal->pid);
    if (!m_refusal->processName.isEmpty())
        fields.insert(QStringLiteral("process"), m_refusal->processName);
    return fields;
}

void BoardClient::close()
{
    m_link->close();
}

std::optional<Failure> BoardClient::load(Register reg, Port port, quint8 value)
{
    const SendOutcome outcome = reg == Register::Direction
                                    ? m_commands.sendSetDirection(port, value)
                                    : m_commands.sendWritePort(port, value);
    if (outcome == SendOutcome::Interrupted)
        return interruptedFailure();
    if (outcome != SendOutcome::Sent)
        return lost();
    m_sent.append({reg, port, value});
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
    return exchangeFailure(read(), QStringLiteral("the commands were sent, but the board did not "
                                                  "answer the check that follows them"));
}

void reportOpenFailure(Output &out, const Failure &failure, const BoardClient *board,
                       std::optional<int> exitStatus)
{
    Output::diagnostic(failure.message);
    if (!out.json())
        return;
    QJsonObject fields = board ? board->refusalJson(failure)
                               : QJsonObject{{QStringLiteral("reason"), QStringLiteral("usage")}};
    fields.insert(QStringLiteral("ok"), false);
    fields.insert(QStringLiteral("exit"),
                  exitStatus.value_or(failure.signal ? 128 + failure.signal : int(failure.code)));
    fields.insert(QStringLiteral("message"), failure.message);
    out.object(QStringLiteral("open"), fields);
}

std::optional<Failure> BoardClient::exchangeFailure(const ReadPortsOutcome &outcome,
                                                    const QString &what)
{
    switch (outcome.kind) {
    case ReadPortsOutcome::Kind::Inputs:
        return std::nullopt;
    case ReadPortsOutcome::Kind::Timeout: {
        // Named once the network's round trip is a large part of the wait: the board may be
        // fine and the link too slow.
        // A raw server behind a tunnel lets us measure only the tunnel's near end.
        const int transitMs = m_commands.transitAllowanceMs();
        QString network;
        QString unknownTrip;
        if (m_remote && transitMs * 4 >= CommandSet::ReplyDeadlineMs) {
            network = QStringLiteral(" and %1 s for the network's round trip to %2")
                          .arg(transitMs / 1000.0)
                          .arg(m_remote->address().hostPort());
        } else if (m_remote && m_remote->address().protocol == RemoteAddress::Protocol::Raw &&
                   outcome.waiting == 0) {
            unknownTrip = QStringLiteral("; a slower network looks the same over socket://, "
                                         "while rfc2217:// measures its round trip and waits for "
                                         "it");
        }
        return Failure{ExitCode::NoAnswer,
                       QStringLiteral("%1 within %2 s%3 (%4)%5")
                           .arg(what.isEmpty() ? QStringLiteral("the board did not answer") : what)
                           .arg(CommandSet::ReplyDeadlineMs / 1000.0)
                           .arg(network, bytesCame(outcome.waiting), unknownTrip),
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
    if (m_remote && m_remote->lateRefusal()) {
        m_refusal = m_remote->lateRefusal();
        // A busy server passed nothing on; a telnet one did, mangled.
        if (m_refusal->failure == OpenFailure::InUse)
            m_sent.clear();
        return Failure{ExitCode::CannotOpen,
                       QStringLiteral("cannot open %1: %2%3")
                           .arg(m_choice.described(), m_refusal->text(), refusalHint(*m_refusal))};
    }
    if (m_remote && !m_remote->lossText().isEmpty())
        return Failure{ExitCode::PortLost, m_remote->lossText()};
    return Failure{ExitCode::PortLost,
                   QStringLiteral("the port was lost (unplugged, or the device went away)")};
}

void BoardClient::describeLink(QJsonObject &fields) const
{
    if (!m_remote)
        return;
    fields.insert(QStringLiteral("reply_deadline_ms"), m_commands.replyDeadlineMs());
    fields.insert(QStringLiteral("round_trip_ms"), m_remote->roundTripMs());
    if (m_remote->address().protocol == RemoteAddress::Protocol::Rfc2217) {
        fields.insert(QStringLiteral("settings"), m_remote->settingsConfirmed()
                                                      ? QStringLiteral("confirmed")
                                                      : QStringLiteral("unconfirmed"));
    }
}

Failure interruptedFailure()
{
    if (Interrupts::received() == 0 && Interrupts::readerGone()) {
        return Failure{ExitCode::ConditionFalse,
                       QStringLiteral("the reader of standard output went away"), SIGPIPE};
    }
    return Failure{ExitCode::ConditionFalse,
                   QStringLiteral("interrupted by signal %1").arg(Interrupts::received()),
                   Interrupts::received()};
}
