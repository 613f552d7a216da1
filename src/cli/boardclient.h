// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "arguments.h"
#include "device/commandset.h"
#include "device/qtseriallink.h"
#include "device/remoteaddress.h"
#include "device/socketlink.h"

#include <memory>
#include <optional>

class Output;

// The port chosen on the command line: a number named exactly as the window names it, a
// device path, or a board on another machine.
struct PortChoice
{
    int number = 0; // 0: path or remote
    QString path;
    std::optional<RemoteAddress> remote;

    // A device path or a URL as given to -d or ZARVEX_PORT; nothing, with *error set, for a
    // URL that is not one of ours.
    static std::optional<PortChoice> fromText(const QString &text, QString *error);

    // "port 3", "/dev/pts/4", "rfc2217://lab7:4003"
    QString described() const;
};

// Why a run ends early: its exit code and its one line for people.
struct Failure
{
    ExitCode code = ExitCode::Usage;
    QString message;
    int signal = 0;          // the signal that cut the command short
    qsizetype received = -1; // no answer: the bytes that came before the deadline
};

// The board behind the chosen port, through the same link, claim and command set as the
// window, so both refuse and lock a port alike. Opening and closing send nothing; every
// command is sent exactly once.
class BoardClient
{
public:
    explicit BoardClient(const PortChoice &choice);

    std::optional<Failure> open();
    void close();
    // The name opened and the device it resolved to (for a URL: the address connected to).
    QString path() const;
    QString device() const;
    const PortChoice &choice() const { return m_choice; }
    // Why the last open was refused.
    const std::optional<OpenRefusal> &refusal() const { return m_refusal; }
    // A refused open for JSON: why, in one word a program can test ("busy"), and the holder.
    QJsonObject refusalJson(const Failure &failure) const;

    // One set-direction or write-port command; the register becomes known.
    std::optional<Failure> load(Register reg, Port port, quint8 value);
    // The commands load() handed to the system since clearSent(), in order, so that a reply
    // can say what went out even when a later one failed.
    struct Sent
    {
        Register reg;
        Port port;
        quint8 value;
    };
    const QList<Sent> &sent() const { return m_sent; }
    void clearSent() { m_sent.clear(); }
    // The reset state: the three set-directions to 0xFF, then the three write-ports of 0.
    std::optional<Failure> reset();
    ReadPortsOutcome read() { return m_commands.readPorts(); }
    // One exchange that shows the board answers, after commands that get no answer.
    std::optional<Failure> check();

    // The failure a read-ports exchange ended in, nothing when it was answered. `what` begins
    // the message of a timeout ("the board did not answer").
    std::optional<Failure> exchangeFailure(const ReadPortsOutcome &outcome,
                                           const QString &what = QString());
    // The port broke: how, as this link tells it. A server that turned us away late is a port
    // that could not be opened, and then nothing was sent after all.
    Failure lost();
    // For the open object of a network link: the reply deadline with the network's share,
    // and whether the server confirmed the line settings.
    void describeLink(QJsonObject &fields) const;

    KnownRegisters &known() { return m_known; }
    // False once the link broke or the server turned us away: nothing more can be done.
    bool usable() const { return m_link->isOpen(); }

private:
    PortChoice m_choice;
    std::unique_ptr<SerialLink> m_link;
    QtSerialLink *m_local = nullptr; // the one of these that m_link is
    SocketLink *m_remote = nullptr;
    CommandSet m_commands;
    KnownRegisters m_known;
    std::optional<OpenRefusal> m_refusal;
    QList<Sent> m_sent;
};

// A port that could not be opened, or chosen (board: nothing), said for people and, with
// --json, as an "open" object on standard output, so a program never reads the diagnostic.
// The exit status reported is the failure's, or exitStatus where the caller ends otherwise.
void reportOpenFailure(Output &out, const Failure &failure, const BoardClient *board,
                       std::optional<int> exitStatus = std::nullopt);

// A command cut short by a signal, or by the reader of standard output going away.
Failure interruptedFailure();
