#include "pollcycle.h"

#include "device/session.h"
#include "ports/valueformats.h"
#include "window/textbox.h"

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

    const auto inputs = m_session.commands().readPorts();
    if (!inputs) {
        m_session.showStatus(QString::fromLatin1(StatusText::ReadTimeout));
        return;
    }
    for (std::size_t p = 0; p < m_ports.size(); ++p)
        m_ports[p].readHex->setText(HexText((*inputs)[p]));
    for (std::size_t p = 0; p < m_ports.size(); ++p)
        m_ports[p].readDec->setText(DecimalText((*inputs)[p]));
}
