// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "session.h"

#include "device/seriallink.h"
#include "linkwatcher.h"

Session::Session(const LinkOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
    useLink(1);
}

Session::~Session()
{
    // The watcher lets go of the link before it goes.
    delete std::exchange(m_watcher, nullptr);
}

void Session::setLinkMaker(LinkMaker maker)
{
    m_maker = std::move(maker);
    useLink(1);
}

void Session::useLink(int portNumber)
{
    delete std::exchange(m_watcher, nullptr);
    m_commands.reset();
    m_link =
        m_maker ? m_maker(portNumber) : makeLink(PortTarget::fromNumber(portNumber), m_options);
    m_commands = std::make_unique<CommandSet>(*m_link);
    m_watcher = new LinkWatcher(*m_link, this);
    // The port went away while nobody was using it (unplugged, driver gone): the status
    // line must stop saying "Connected".
    connect(m_watcher, &LinkWatcher::lost, this, &Session::portLost);
}

CommandSet &Session::commands()
{
    // Whatever the caller does with the link, the event loop then watches what it wants.
    m_watcher->updateLater();
    return *m_commands;
}

bool Session::connectTo(int portNumber, const QString &typedText)
{
    if (m_portIsOpen == 1) {
        m_link->close();
        m_portIsOpen = 0;
    }

    if (portNumber < 1 || portNumber > 32767) {
        OpenRefusal refusal;
        refusal.failure = OpenFailure::NoSuchDevice;
        refusal.path = "port number \"" + typedText.trimmed().toStdString() + "\"";
        refusal.systemText = "not a number from 1 to 32767";
        m_lastRefusal = refusal;
        report(Notice::CouldNotOpen);
        return false;
    }
    useLink(portNumber);
    m_lastRefusal = m_link->open();
    m_watcher->update();
    if (m_lastRefusal) {
        report(Notice::CouldNotOpen);
        return false;
    }

    m_portIsOpen = 1;
    report(Notice::Connected);
    return true;
}

void Session::closeForUnload()
{
    if (m_portIsOpen == 1)
        m_link->close();
}

bool Session::requireConnection()
{
    if (m_portIsOpen != 0)
        return true;
    report(Notice::ConnectFirst);
    return false;
}

bool Session::delivered(SendOutcome outcome)
{
    if (outcome == SendOutcome::PortLost)
        portLost();
    return outcome == SendOutcome::Sent;
}

void Session::portLost()
{
    if (m_link->state() == LinkState::Closed && m_portIsOpen == 0)
        return;
    m_link->close();
    m_watcher->update();
    m_portIsOpen = 0;
    report(Notice::ConnectFirst);
}
