#include "boardmodel.h"

QList<BoardModel::Event> BoardModel::feed(quint8 byte)
{
    QList<Event> events;
    switch (m_state) {
    case State::Idle:
        break;
    case State::DirectionPort:
        if (const int index = portIndex(char(byte)); index >= 0) {
            m_pendingPort = index;
            m_state = State::DirectionValue;
            return events;
        }
        events << ignored(SetDirectionByte);
        break;
    case State::DirectionValue:
        m_direction[m_pendingPort] = byte;
        m_state = State::Idle;
        events << Event{EventKind::SetDirection, portLetter(m_pendingPort), byte, {}};
        return events;
    case State::WriteValue:
        m_output[m_pendingPort] = byte;
        m_state = State::Idle;
        events << Event{EventKind::WritePort, portLetter(m_pendingPort), byte, {}};
        return events;
    case State::ReadB:
        if (byte == 'b') {
            m_state = State::ReadC;
            return events;
        }
        events << ignored('a');
        break;
    case State::ReadC:
        if (byte == 'c') {
            m_state = State::Idle;
            events << Event{EventKind::ReadPorts, 0, 0, readPorts()};
            return events;
        }
        events << ignored('a') << ignored('b');
        break;
    }

    // Idle, or a broken-off command: this byte starts over.
    m_state = State::Idle;
    if (byte == SetDirectionByte) {
        m_state = State::DirectionPort;
    } else if (const int index = portIndex(char(byte)); index >= 0) {
        m_pendingPort = index;
        m_state = State::WriteValue;
    } else if (byte == 'a') {
        m_state = State::ReadB;
    } else {
        events << ignored(byte);
    }
    return events;
}

QList<BoardModel::Event> BoardModel::feed(const QByteArray &bytes)
{
    QList<Event> events;
    for (const char byte : bytes)
        events << feed(quint8(byte));
    return events;
}

void BoardModel::reset()
{
    m_state = State::Idle;
    m_direction.fill(PowerUpDirection);
    m_output.fill(0);
}

quint8 BoardModel::direction(char port) const
{
    const int index = portIndex(port);
    return index < 0 ? 0 : m_direction[index];
}

quint8 BoardModel::output(char port) const
{
    const int index = portIndex(port);
    return index < 0 ? 0 : m_output[index];
}

quint8 BoardModel::inputPattern(char port) const
{
    const int index = portIndex(port);
    return index < 0 ? 0 : m_inputPattern[index];
}

void BoardModel::setInputPattern(char port, quint8 pattern)
{
    const int index = portIndex(port);
    Q_ASSERT_X(index >= 0, "BoardModel::setInputPattern", "port must be 'A', 'B' or 'C'");
    if (index >= 0)
        m_inputPattern[index] = pattern;
}

quint8 BoardModel::readPort(char port) const
{
    const int index = portIndex(port);
    if (index < 0)
        return 0;
    const quint8 inputs = m_direction[index];
    return quint8((inputs & m_inputPattern[index]) | (~inputs & m_output[index]));
}

QByteArray BoardModel::readPorts() const
{
    QByteArray bytes;
    for (int index = 0; index < PortCount; ++index)
        bytes.append(char(readPort(portLetter(index))));
    return bytes;
}

int BoardModel::portIndex(char port)
{
    return port >= 'A' && port < 'A' + PortCount ? port - 'A' : -1;
}

QString BoardModel::hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString BoardModel::describe(const Event &event)
{
    const QString value = hex(QByteArray(1, char(event.value)));
    const QString port = QString(QLatin1Char(event.port));
    switch (event.kind) {
    case EventKind::SetDirection:
        return QStringLiteral("set-direction %1 %2").arg(port, value);
    case EventKind::WritePort:
        return QStringLiteral("write-port %1 %2").arg(port, value);
    case EventKind::ReadPorts:
        return QStringLiteral("read-ports -> %1").arg(hex(event.reply));
    case EventKind::Ignored:
        break;
    }
    return QStringLiteral("ignored %1").arg(value);
}
