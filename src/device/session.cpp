// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "session.h"

#include "ports/valueformats.h"
#include "seriallink.h"

#include <cmath>

Session::Session(SerialLink *link, QObject *parent)
    : QObject(parent), m_link(link), m_commands(*link)
{
    // The port went away while nobody was using it (unplugged, driver gone): the status
    // line must stop saying "Connected".
    connect(m_link, &SerialLink::lost, this, &Session::portLost);
}

int Session::portNumberFromText(const QString &text)
{
    const double value = NumberFromText(text);
    if (!std::isfinite(value) || value < 0.5 || value > 32767.5)
        return 0;
    const qint32 number = RoundHalfEven(value);
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
        refusal.path = QStringLiteral("port number \"%1\"").arg(portNumberText.trimmed());
        refusal.systemText = QStringLiteral("not a number from 1 to 32767");
        m_lastRefusal = refusal;
        report(Notice::CouldNotOpen);
        return false;
    }
    m_link->setCommPort(number);
    m_lastRefusal = m_link->open();
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
    m_portIsOpen = 0;
    report(Notice::ConnectFirst);
}
