// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "ports/portcontrols.h"

class QCheckBox;
class QTimer;
class Session;

// Reads the three ports back into the read boxes, on a click of Poll Once or on every
// tick of Timer1 while Continuous Poll is checked.
class PollCycle
{
public:
    PollCycle(Session &session, const AllPorts &ports, QCheckBox &check, QTimer &timer);

    void PollNow_Click() { run(); }
    // Timer1 runs exactly while Check1 is checked; nothing else.
    void Check1_Click();
    void Timer1_Timer() { run(); }

private:
    // One cycle: the guard, the read-ports exchange, then the six read boxes, or
    // "Read Timeout" with the boxes left as they were.
    void run();

    Session &m_session;
    const AllPorts &m_ports;
    QCheckBox &m_check;
    QTimer &m_timer;
};
