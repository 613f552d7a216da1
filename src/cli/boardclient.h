// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "exitcodes.h"
#include "grammar.h"
#include "output.h"

#include "device/commandset.h"
#include "device/porttarget.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Why a run ends early: its exit code and its one line for people.
struct Failure
{
    ExitCode code = ExitCode::Usage;
    std::string message;
    int signal = 0; // the signal that cut the command short
    std::optional<std::size_t> received =
        std::nullopt; // no answer: the bytes that came before the deadline
};

// The board behind the chosen port, through the same link, claim and command set as the
// window, so both refuse and lock a port alike. Opening and closing send nothing; every
// command is sent exactly once.
class BoardClient
{
public:
    explicit BoardClient(const PortTarget &target);

    std::optional<Failure> open();
    void close();
    // The name opened and the device it resolved to (for a URL: the address connected to).
    std::string path() const { return m_link->name(); }
    std::string device() const { return m_link->device(); }
    const PortTarget &target() const { return m_target; }
    // Why the last open was refused.
    const std::optional<OpenRefusal> &refusal() const { return m_refusal; }
    // A refused open for JSON: why, in one word a program can test ("busy"), and the holder.
    Json refusalJson(const Failure &failure) const;

    // One set-direction or write-port command; the register becomes known.
    std::optional<Failure> load(Register reg, Port port, std::uint8_t value);
    // The commands load() handed to the system since clearSent(), in order, so that a reply
    // can say what went out even when a later one failed.
    struct Sent
    {
        Register reg;
        Port port;
        std::uint8_t value;
    };
    const std::vector<Sent> &sent() const { return m_sent; }
    void clearSent() { m_sent.clear(); }
    // The reset state: the three set-directions to 0xFF, then the three write-ports of 0.
    std::optional<Failure> reset();
    ReadPortsOutcome read() { return m_commands->readPorts(); }
    // One exchange that shows the board answers, after commands that get no answer.
    std::optional<Failure> check();

    // The failure a read-ports exchange ended in, nothing when it was answered. `what` begins
    // the message of a timeout ("the board did not answer").
    std::optional<Failure> exchangeFailure(const ReadPortsOutcome &outcome,
                                           const std::string &what = {});
    // The port broke: how, as this link tells it. A server that turned us away late is a port
    // that could not be opened, and then nothing was sent after all.
    Failure lost();
    // For the open object of a network link: the reply deadline with the network's share,
    // and whether the server confirmed the line settings.
    void describeLink(Json &fields) const;

    KnownRegisters &known() { return m_known; }
    // False once the link broke or the server turned us away: nothing more can be done.
    bool usable() const { return m_link->isOpen(); }

    // --reconnect: a lost port is opened again, "board gone" and "back" said on out.
    void setReconnect(Output &out) { m_events = &out; }
    bool reconnects() const { return m_events != nullptr; }
    // Runs right after "back", before anything else (the board file's setup). When it loses
    // the port again the board is gone again; any other failure of it ends the run.
    using AfterBack = std::function<std::optional<Failure>(BoardClient &)>;
    void setAfterBack(AfterBack hook) { m_afterBack = std::move(hook); }
    // The port was lost, as loss tells: says "board gone" and closes the port.
    void sayGone(const Failure &loss);
    // Opens the same target again every 250 ms until it opens, then says "back", forgets the
    // known registers and runs the hook; nothing sent before is sent again. Otherwise the
    // failure that ends the run: a signal, the loss once `until` comes, or the hook's.
    std::optional<Failure> comeBack(std::chrono::steady_clock::time_point until);

private:
    void makeLink();
    void event(const std::string &text, Json fields);

    PortTarget m_target;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<CommandSet> m_commands;
    KnownRegisters m_known;
    std::optional<OpenRefusal> m_refusal;
    std::vector<Sent> m_sent;
    Output *m_events = nullptr;
    AfterBack m_afterBack;
    std::optional<Failure> m_loss;
};

// A port that could not be opened, or chosen (board: nothing), said for people and, with
// --json, as an "open" object on standard output, so a program never reads the diagnostic.
// The exit status reported is the failure's, or exitStatus where the caller ends otherwise.
void reportOpenFailure(Output &out, const Failure &failure, const BoardClient *board,
                       std::optional<int> exitStatus = std::nullopt);

// A command cut short by a signal, or by the reader of standard output going away.
Failure interruptedFailure();
