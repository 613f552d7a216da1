// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "reset.h"

#include "ports/textbox.h"
#include "session/session.h"
#include "valueformats.h"

void ResetTamsk_Click(Session &session, const AllPorts &ports)
{
    if (!session.requireConnection())
        return;

    // A port lost on the way leaves the window as it was: nothing more reached the board.
    CommandSet &commands = session.commands();
    for (const PortCommand &command : CommandSet::ResetSequence) {
        if (!session.delivered(commands.send(command)))
            return;
    }

    for (const PortControls &port : ports)
        port.writeHex->setText(HexText(0));
    for (const PortControls &port : ports)
        port.directionHex->setText(HexText(255));
}
