// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "session.h"

#include "device/seriallink.h"
#include "device/valuerules.h"
#include "linkwatcher.h"
#include "ports/valueformats.h"

#include <cmath>

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

int Session::portNumberFromText(const QString &text)
{
    const double value = NumberFromText(text);
    if (!std::isfinite(value) || value < 0.5 || value > 32767.5)
        return 0;
    const std::int32_t number = RoundHalfEven(value);
    return (number >= 1 && number <= 32767) ? number : 0;
}

bool Session::connectTo(const QString &portNumberText)
{
    if (m_portIsOpen == 1) {
        m_link->close();
        m_portIsOpen = 0;
    }

    const int number = portNumberFromText(portNumberText);
    if (number == 0) {
        OpenRefusal refusal;
        refusal.failure = OpenFailure::NoSuchDevice;
        refusal.path = "port number \"" + portNumberText.trimmed().toStdString() + "\"";
        refusal.systemText = "not a number from 1 to 32767";
        m_lastRefusal = refusal;
        report(Notice::CouldNotOpen);
        return false;
    }
    useLink(number);
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
