#include "session.h"

#include "ports/valueformats.h"
#include "seriallink.h"

#include <cmath>

Session::Session(SerialLink *link, QObject *parent)
    : QObject(parent), m_link(link), m_commands(*link)
{
    // The port went away under us (unplugged, driver gone): whatever was being sent is lost,
    // so the status line must stop saying "Connected".
    connect(m_link, &SerialLink::failed, this, [this] {
        m_portIsOpen = 0;
        showStatus(QString::fromLatin1(StatusText::ConnectFirst));
    });
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
        m_link->setPortOpen(false);
        m_portIsOpen = 0;
    }

    const int number = portNumberFromText(portNumberText);
    if (number == 0) {
        showStatus(QString::fromLatin1(StatusText::CouldNotOpen));
        return false;
    }
    m_link->setCommPort(number);
    if (!m_link->setPortOpen(true)) {
        showStatus(QString::fromLatin1(StatusText::CouldNotOpen));
        return false;
    }

    m_portIsOpen = 1;
    showStatus(QString::fromLatin1(StatusText::Connected));
    return true;
}

void Session::closeForUnload()
{
    if (m_portIsOpen == 1)
        m_link->setPortOpen(false);
}

bool Session::requireConnection()
{
    if (m_portIsOpen != 0)
        return true;
    showStatus(QString::fromLatin1(StatusText::ConnectFirst));
    return false;
}
