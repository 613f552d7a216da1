#include "reset.h"

#include "device/session.h"
#include "valueformats.h"
#include "window/textbox.h"

void ResetTamsk_Click(Session &session, const AllPorts &ports)
{
    if (!session.requireConnection())
        return;

    CommandSet &commands = session.commands();
    for (const PortControls &port : ports)
        commands.sendSetDirection(port.letter, 255);
    for (const PortControls &port : ports)
        commands.sendWritePort(port.letter, 0);

    for (const PortControls &port : ports)
        port.writeHex->setText(HexText(0));
    for (const PortControls &port : ports)
        port.directionHex->setText(HexText(255));
}
