// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "bridge.h"

#include "common/devicelink.h"
#include "common/endingsignals.h"
#include "common/ptyendpoint.h"
#include "device/porttarget.h"
#include "device/systemerror.h"
#include "diagnostic.h"
#include "interrupts.h"
#include "output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto RetryInterval = std::chrono::seconds(1);
// Read from a client per round, so that one that never stops sending cannot starve the rest.
constexpr std::size_t ClientShare = 64 * 1024;

// Forwards between the pty and the server. The line settings a client makes on the pty stay
// there: the server keeps the board's line at 9600 8N1 whatever a client asks.
class Bridge
{
public:
    explicit Bridge(const BridgePlan &plan) : m_plan(plan), m_remote(makeLink(remoteTarget(plan)))
    {
        // A server that takes no bytes must not keep the bridge from ending.
        m_remote->setInterruptCheck([] { return Interrupts::received() != 0; });
    }

    ExitCode run(Output &out);

private:
    static PortTarget remoteTarget(const BridgePlan &plan)
    {
        PortTarget target;
        target.kind = PortTarget::Kind::Remote;
        target.remote = plan.address;
        return target;
    }
    std::string url() const { return m_plan.address.url(); }
    short remoteEvents() const
    {
        return short((m_remote->wantsRead() ? POLLIN : 0) | (m_remote->hasUnsent() ? POLLOUT : 0));
    }
    // Why the server turned us away, when it did: at once, or (raw, through a tunnel) only
    // after we had taken the connection for open.
    void turnedAway(const OpenRefusal &refusal);
    void sayReconnected();
    void serve();
    void fromClients();
    void fromRemote();
    void clientEvents();
    void lose();
    void reconnect();

    const BridgePlan &m_plan;
    std::unique_ptr<SerialLink> m_remote;
    PtyEndpoint m_pty;
    bool m_connected = false;
    // Whether a client has the pty open: without one, what the server sends is dropped, or
    // the next client would start with bytes meant for one that has gone.
    bool m_clientPresent = false;
    // The master reports a hang-up when even our own slave descriptor could not be kept.
    bool m_masterHungUp = false;
    // The server last turned us away because another client has the board; said once.
    bool m_busy = false;
    // Connected again, but not said yet: a raw server may still turn us away, until the board
    // answers or for a while.
    bool m_unconfirmed = false;
    // The connection that the banner announced, while it lasts: turned away late, the
    // bridge ends as if the open had failed.
    bool m_firstConnection = true;
    std::optional<ExitCode> m_failed;
    Clock::time_point m_nextTry;
    Clock::time_point m_confirmAt;
};

ExitCode Bridge::run(Output &out)
{
    std::optional<DeviceLink> link;
    if (!m_plan.link.empty()) {
        // Asked before connecting, so that a second bridge for the same link does not take
        // the server away from the first only to give up.
        link.emplace(m_plan.link, DeviceLink::Replace::StalePty);
        if (const std::string mistake = link->misplaced(); !mistake.empty()) {
            diagnostic("bridge: " + mistake);
            return ExitCode::Usage;
        }
        if (const std::string obstacle = link->obstacle(); !obstacle.empty()) {
            diagnostic("bridge: " + obstacle);
            return ExitCode::CannotOpen;
        }
    }
    const std::optional<OpenRefusal> refusal = m_remote->open();
    if (Interrupts::received())
        return ExitCode::Success;
    if (refusal) {
        diagnostic("cannot open " + url() + ": " + refusal->text());
        return ExitCode::CannotOpen;
    }
    m_connected = true;
    m_remote->input(); // nobody has asked for anything yet

    std::string error;
    if (!m_pty.open(&error)) {
        diagnostic("bridge: cannot make a pseudo-terminal: " + error);
        return ExitCode::CannotOpen;
    }
    if (link && !link->create(m_pty.devicePath(), &error)) {
        diagnostic("bridge: " + error);
        return ExitCode::CannotOpen;
    }
    std::string line = "bridge " + url() + " <-> " + m_pty.devicePath();
    Json fields = {{"url", url()}, {"device", m_pty.devicePath()}};
    if (link) {
        line += " (link " + m_plan.link + ")";
        fields["link"] = m_plan.link;
    }
    out.result(line, "bridge", fields);

    serve();
    if (m_failed)
        return *m_failed;
    return out.failed() ? ExitCode::WriteFailed : ExitCode::Success;
}

void Bridge::serve()
{
    while (Interrupts::received() == 0 && !m_failed) {
        int timeoutMs = -1;
        if (!m_connected || m_unconfirmed) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                (m_connected ? m_confirmAt : m_nextTry) - Clock::now());
            timeoutMs = int(std::clamp<std::int64_t>(left.count(), 0, 1000));
        }
        std::array<pollfd, 4> fds{{{EndingSignals::fd(), POLLIN, 0},
                                   {m_masterHungUp ? -1 : m_pty.masterFd(), POLLIN, 0},
                                   {m_pty.clientWatchFd(), POLLIN, 0},
                                   {m_remote->descriptor(), remoteEvents(), 0}}};
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            diagnostic("bridge: poll: " + systemErrorText(errno));
            return;
        }
        // The client's bytes before its close: a client that sent something and went is
        // gone by the time the answer comes.
        if (fds[1].revents)
            fromClients();
        if (fds[2].revents)
            clientEvents();
        if (fds[3].revents)
            fromRemote();
        if (m_connected && m_remote->state() != LinkState::Open)
            lose();
        if (m_connected && m_unconfirmed && Clock::now() >= m_confirmAt)
            sayReconnected();
        if (!m_connected && !m_failed && Clock::now() >= m_nextTry && Interrupts::received() == 0)
            reconnect();
    }
}

void Bridge::fromClients()
{
    std::array<char, 4096> buffer;
    for (std::size_t taken = 0; taken < ClientShare;) {
        const ssize_t count = ::read(m_pty.masterFd(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            if (count < 0 && errno == EIO)
                m_masterHungUp = true; // until a client comes
            return;
        }
        taken += std::size_t(count);
        // Only a client writes to the slave; its open may have gone unnoticed.
        m_clientPresent = true;
        // While the server is away they are dropped: sent later, they would reach a board
        // whose state has moved on.
        if (m_connected && !m_remote->output(std::string_view(buffer.data(), std::size_t(count))))
            return;
    }
}

void Bridge::fromRemote()
{
    m_remote->service();
    const std::string bytes = m_remote->input();
    // The board answers: the server has taken us for good.
    if (!bytes.empty() && m_unconfirmed)
        sayReconnected();
    if (bytes.empty() || !m_clientPresent)
        return;
    // What the pty cannot take now (its client does not read) is dropped: the server's bytes
    // must not wait behind a client that may never read again.
    ssize_t written = -1;
    do {
        written = ::write(m_pty.masterFd(), bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
}

void Bridge::clientEvents()
{
    switch (m_pty.takeClientEvents()) {
    case PtyEndpoint::Clients::Present:
        m_clientPresent = true;
        m_masterHungUp = false;
        break;
    case PtyEndpoint::Clients::Gone:
        m_clientPresent = false;
        m_masterHungUp = false;
        m_pty.resetForNextClient();
        break;
    case PtyEndpoint::Clients::Unchanged:
        break;
    }
}

void Bridge::lose()
{
    const std::optional<OpenRefusal> refusal = m_remote->lateRefusal();
    m_remote->close();
    m_connected = false;
    m_nextTry = Clock::now() + RetryInterval;
    // Never said to be back, so not said to be lost either.
    const bool announced = !std::exchange(m_unconfirmed, false);
    if (refusal && (m_firstConnection || refusal->by == InUseBy::RemoteClient))
        turnedAway(*refusal);
    else if (announced)
        diagnostic("bridge: lost " + url() + "; reconnecting");
    m_firstConnection = false;
}

void Bridge::turnedAway(const OpenRefusal &refusal)
{
    m_unconfirmed = false;
    if (m_firstConnection) {
        diagnostic("cannot open " + url() + ": " + refusal.text());
        m_failed = ExitCode::CannotOpen;
        return;
    }
    const bool busy = refusal.by == InUseBy::RemoteClient;
    if (busy && !m_busy)
        diagnostic("bridge: " + url() + ": " + refusal.text() + "; trying again every second");
    m_busy = busy;
}

void Bridge::reconnect()
{
    if (const std::optional<OpenRefusal> refusal = m_remote->open()) {
        m_remote->close();
        m_nextTry = Clock::now() + RetryInterval;
        turnedAway(*refusal);
        return;
    }
    m_connected = true;
    m_remote->input(); // not asked for by anyone still here
    m_unconfirmed = true;
    m_confirmAt = Clock::now() + RetryInterval;
}

void Bridge::sayReconnected()
{
    m_unconfirmed = false;
    m_busy = false;
    diagnostic("bridge: reconnected to " + url());
}

} // namespace

ExitCode runBridge(const BridgePlan &plan, Output &out)
{
    Bridge bridge(plan);
    return bridge.run(out);
}
