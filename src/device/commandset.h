#pragma once

#include <QByteArray>

#include <array>
#include <optional>

class SerialLink;

// The board's three commands, byte for byte:
//   set-direction  '!' letter value   (bit 1 = input, 0 = output)
//   write-port     letter value
//   read-ports     "abc", answered by three bytes: the inputs of A, B and C.
class CommandSet
{
public:
    static constexpr int ReplyDeadlineMs = 400;
    static constexpr char ReadPortsCommand[] = "abc";

    using PortInputs = std::array<quint8, 3>;

    explicit CommandSet(SerialLink &link) : m_link(link) {}

    // Build a command, or return an empty array when the port letter is not A, B or C or
    // the value does not round (halves to even) to 0..255.
    static QByteArray setDirectionCommand(char port, double value);
    static QByteArray writePortCommand(char port, double value);

    // Each writes one command with one write; nothing is written for a refused value.
    bool sendSetDirection(char port, double value);
    bool sendWritePort(char port, double value);

    // The read-ports exchange: drops whatever is already waiting, writes "abc" and waits
    // until exactly three bytes wait, at most ReplyDeadlineMs. Returns the three inputs,
    // or nothing on a timeout (or a port that failed meanwhile).
    std::optional<PortInputs> readPorts();

private:
    bool send(const QByteArray &command);

    SerialLink &m_link;
};
