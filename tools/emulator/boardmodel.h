#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>

// What the board makes of the bytes the host sends, and what it answers. Pure state: no I/O,
// no threads, so both the pty server and the tests can drive it byte by byte.
class BoardModel
{
public:
    static constexpr int PortCount = 3;
    static constexpr quint8 PowerUpDirection = 0xFF; // every line an input
    static constexpr char SetDirectionByte = '!';

    enum class EventKind { SetDirection, WritePort, ReadPorts, Ignored };

    struct Event
    {
        EventKind kind = EventKind::Ignored;
        char port = 0;    // 'A'..'C' for SetDirection and WritePort, otherwise 0
        quint8 value = 0; // the value byte, or the ignored byte itself
        QByteArray reply; // ReadPorts: the three bytes the board answers

        friend bool operator==(const Event &, const Event &) = default;
    };

    // Every event the byte completes, in order. A byte that breaks off a half-received command
    // first yields an Ignored event for each byte of that command, then is decoded afresh.
    // A command still incomplete yields nothing until its last byte arrives.
    QList<Event> feed(quint8 byte);
    QList<Event> feed(const QByteArray &bytes);

    // Back to the power-up registers; the input patterns are the test's, so they stay.
    void reset();

    quint8 direction(char port) const;
    quint8 output(char port) const;
    quint8 inputPattern(char port) const;
    void setInputPattern(char port, quint8 pattern);

    // Output lines read back their output bit, input lines the input pattern.
    quint8 readPort(char port) const;
    QByteArray readPorts() const;

    // 0..2 for 'A'..'C', -1 for anything else (the lower-case letters are not ports).
    static int portIndex(char port);
    static char portLetter(int index) { return char('A' + index); }

    // One line for the emulator's log, e.g. "write-port B 05" or "read-ports -> 01 80 FF".
    static QString describe(const Event &event);
    static QString hex(const QByteArray &bytes);

private:
    enum class State { Idle, DirectionPort, DirectionValue, WriteValue, ReadB, ReadC };

    static Event ignored(quint8 byte) { return {EventKind::Ignored, 0, byte, {}}; }

    State m_state = State::Idle;
    int m_pendingPort = 0;
    std::array<quint8, PortCount> m_direction{PowerUpDirection, PowerUpDirection, PowerUpDirection};
    std::array<quint8, PortCount> m_output{};
    std::array<quint8, PortCount> m_inputPattern{};
};
