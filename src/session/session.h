// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/commandset.h"
#include "device/portaccess.h"
#include "device/porttarget.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class LinkWatcher;
class SerialLink;

// What the handlers have to tell the user. The status line's owner turns each into its text.
enum class Notice { Connected, CouldNotOpen, ConnectFirst, ReadTimeout };

// The window's connection: the serial link, the PortIsOpen flag, Connect, the guard in front
// of every board operation and what happens when the port is lost. PortIsOpen is 1 exactly
// while the port is open: a failed Connect or a lost port leaves it at 0, so no handler ever
// writes to a closed port.
class Session : public QObject
{
    Q_OBJECT

public:
    // Makes the link for a port number.
    using LinkMaker = std::function<std::unique_ptr<SerialLink>(int portNumber)>;

    // options name the ports (tests give port numbers to their own devices).
    explicit Session(const LinkOptions &options = {}, QObject *parent = nullptr);
    ~Session() override;

    // Links from maker instead of makeLink(), from now on (the fuzzer's recording link).
    // Call while no port is open.
    void setLinkMaker(LinkMaker maker);

    // The link of the last Connect (before the first: one for port 1, never opened).
    SerialLink *link() const { return m_link.get(); }
    CommandSet &commands();

    qint16 portIsOpen() const { return m_portIsOpen; }
    void setPortIsOpen(qint16 value) { m_portIsOpen = value; }

    // Closes the port if open, then opens port portNumber. Reports Connected, or
    // CouldNotOpen with the reason kept for lastRefusal(). A portNumber of 0 names no port:
    // the refusal then names typedText, what the user typed.
    bool connectTo(int portNumber, const QString &typedText);
    // Why the last Connect failed; nothing after a successful one.
    const std::optional<OpenRefusal> &lastRefusal() const { return m_lastRefusal; }

    // Closes the port if PortIsOpen is 1. The flag keeps its value.
    void closeForUnload();

    // The guard in front of every board operation: true when connected, otherwise reports
    // ConnectFirst.
    bool requireConnection();

    // Whether a command reached the port. A port lost meanwhile is dealt with (see
    // portLost()); a refused value, like an interrupted wait (the window sets no interrupt
    // check), reports nothing, as before any byte is written.
    bool delivered(SendOutcome outcome);

    // The port broke: it is closed, PortIsOpen goes to 0 and ConnectFirst is reported, once.
    void portLost();

    void report(Notice notice) { emit noticed(notice); }

signals:
    void noticed(Notice notice);

private:
    void useLink(int portNumber);

    LinkOptions m_options;
    LinkMaker m_maker;
    std::unique_ptr<SerialLink> m_link;
    std::unique_ptr<CommandSet> m_commands;
    LinkWatcher *m_watcher = nullptr;
    qint16 m_portIsOpen = 0;
    std::optional<OpenRefusal> m_lastRefusal;
};
