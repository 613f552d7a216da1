#include "commandset.h"

#include "ports/valueformats.h"
#include "seriallink.h"

#include <QElapsedTimer>

#include <cmath>

namespace {

bool isPortLetter(char port)
{
    return port == 'A' || port == 'B' || port == 'C';
}

std::optional<char> valueByte(double value)
{
    // Checked before rounding: RoundHalfEven saturates far outside the byte range.
    if (!(value >= -0.5 && value <= 255.5))
        return std::nullopt;
    const qint32 rounded = RoundHalfEven(value);
    if (rounded < 0 || rounded > 255)
        return std::nullopt;
    return char(rounded);
}

} // namespace

QByteArray CommandSet::setDirectionCommand(char port, double value)
{
    const auto byte = valueByte(value);
    if (!isPortLetter(port) || !byte)
        return {};
    const char bytes[] = {'!', port, *byte};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray CommandSet::writePortCommand(char port, double value)
{
    const auto byte = valueByte(value);
    if (!isPortLetter(port) || !byte)
        return {};
    const char bytes[] = {port, *byte};
    return QByteArray(bytes, sizeof bytes);
}

bool CommandSet::sendSetDirection(char port, double value)
{
    return send(setDirectionCommand(port, value));
}

bool CommandSet::sendWritePort(char port, double value)
{
    return send(writePortCommand(port, value));
}

bool CommandSet::send(const QByteArray &command)
{
    return !command.isEmpty() && m_link.output(command);
}

std::optional<CommandSet::PortInputs> CommandSet::readPorts()
{
    // Bytes waiting now answer no command of ours (a reply that came too late, noise).
    // Left in place they would shift every later reading, or, past three, make every
    // later exchange time out. A flood can refill the buffer forever, so stop after a
    // bounded number of rounds; the exchange then times out honestly.
    for (int round = 0; round < 64 && m_link.inBufferCount() > 0; ++round)
        m_link.input();

    if (!m_link.output(QByteArray(ReadPortsCommand)))
        return std::nullopt;

    QElapsedTimer clock; // monotonic: immune to midnight and clock changes
    clock.start();
    constexpr qint64 deadlineNs = qint64(ReplyDeadlineMs) * 1000 * 1000;
    while (m_link.portOpen() && m_link.inBufferCount() != 3) {
        const qint64 leftNs = deadlineNs - clock.nsecsElapsed();
        if (leftNs <= 0)
            break;
        // Blocks on the port, so the wait costs no CPU and runs no other event.
        m_link.waitForInput(int((leftNs + 999999) / 1000000));
    }

    if (m_link.inBufferCount() != 3)
        return std::nullopt;
    const QByteArray reply = m_link.input();
    if (reply.size() < 3)
        return std::nullopt;
    return PortInputs{quint8(reply[0]), quint8(reply[1]), quint8(reply[2])};
}
