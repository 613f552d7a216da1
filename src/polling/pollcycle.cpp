// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "pollcycle.h"

#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "session/session.h"

#include <QCheckBox>
#include <QTimer>

PollCycle::PollCycle(Session &session, const AllPorts &ports, QCheckBox &check, QTimer &timer)
    : m_session(session), m_ports(ports), m_check(check), m_timer(timer)
{}

void PollCycle::Check1_Click()
{
    if (!m_check.isChecked())
        m_timer.stop();
    else if (!m_timer.isActive()) // enabling an enabled timer does not restart its interval
        m_timer.start();
}

void PollCycle::run()
{
    if (!m_session.requireConnection())
        return;

    const ReadPortsOutcome reading = m_session.commands().readPorts();
    switch (reading.kind) {
    case ReadPortsOutcome::Kind::PortLost:
        m_session.portLost();
        return;
    case ReadPortsOutcome::Kind::Timeout:
        m_session.report(Notice::ReadTimeout);
        return;
    case ReadPortsOutcome::Kind::Interrupted: // the window sets no interrupt check
        return;
    case ReadPortsOutcome::Kind::Inputs:
        break;
    }
    for (const PortControls &port : m_ports)
        port.readHex->setText(HexText(reading.input(port.port)));
    for (const PortControls &port : m_ports)
        port.readDec->setText(DecimalText(reading.input(port.port)));
}
