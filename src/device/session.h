#pragma once

#include "commandset.h"

#include <QObject>
#include <QString>

class SerialLink;

// The messages of the status line.
namespace StatusText {
inline constexpr char Connected[] = "Connected";
inline constexpr char CouldNotOpen[] = "Could Not Open That Port";
inline constexpr char ConnectFirst[] = "Please Click Connect First";
inline constexpr char ReadTimeout[] = "Read Timeout";
} // namespace StatusText

// The window's connection: the serial link, the PortIsOpen flag and the command set that
// every handler talking to the board goes through. PortIsOpen is 1 exactly while the port
// is open: a failed Connect or a port that breaks leaves it at 0, so no handler ever
// writes to a closed port. A port that breaks also shows "Please Click Connect First".
class Session : public QObject
{
    Q_OBJECT

public:
    explicit Session(SerialLink *link, QObject *parent = nullptr);

    SerialLink *link() const { return m_link; }
    CommandSet &commands() { return m_commands; }

    qint16 portIsOpen() const { return m_portIsOpen; }
    void setPortIsOpen(qint16 value) { m_portIsOpen = value; }

    // The number a port-number text names: rounded halves to even, 1..32767. Anything
    // else (no digits, 0 or below, beyond 16 bits, not finite) names no port: 0.
    static int portNumberFromText(const QString &text);

    // Closes the port if open, then opens the one the text names. On success PortIsOpen
    // is 1 and "Connected" is shown; otherwise "Could Not Open That Port".
    bool connectTo(const QString &portNumberText);

    // Closes the port if PortIsOpen is 1. The flag keeps its value.
    void closeForUnload();

    // The guard in front of every board operation: true when connected, otherwise shows
    // "Please Click Connect First".
    bool requireConnection();

    void showStatus(const QString &text) { emit status(text); }

signals:
    void status(const QString &text);

private:
    SerialLink *m_link;
    CommandSet m_commands;
    qint16 m_portIsOpen = 0;
};
