// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardmodel.h"

QList<BoardModel::Event> BoardModel::feed(quint8 byte)
{
    QList<Event> events;
    switch (m_state) {
    case State::Idle:
        break;
    case State::DirectionPort:
        if (const auto port = portFromLetter(char(byte))) {
            m_pendingPort = *port;
            m_state = State::DirectionValue;
            return events;
        }
        events << ignored(SetDirectionByte);
        break;
    case State::DirectionValue:
        m_direction[portIndex(m_pendingPort)] = byte;
        m_state = State::Idle;
        events << Event{EventKind::SetDirection, m_pendingPort, byte, {}};
        return events;
    case State::WriteValue:
        m_output[portIndex(m_pendingPort)] = byte;
        m_state = State::Idle;
        events << Event{EventKind::WritePort, m_pendingPort, byte, {}};
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
            events << Event{EventKind::ReadPorts, Port::A, 0, readPorts()};
            return events;
        }
        events << ignored('a') << ignored('b');
        break;
    }

    // Idle, or a broken-off command: this byte starts over.
    m_state = State::Idle;
    if (byte == SetDirectionByte) {
        m_state = State::DirectionPort;
    } else if (const auto port = portFromLetter(char(byte))) {
        m_pendingPort = *port;
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

quint8 BoardModel::direction(Port port) const
{
    return m_direction[portIndex(port)];
}

quint8 BoardModel::output(Port port) const
{
    return m_output[portIndex(port)];
}

quint8 BoardModel::inputPattern(Port port) const
{
    return m_inputPattern[portIndex(port)];
}

void BoardModel::setInputPattern(Port port, quint8 pattern)
{
    m_inputPattern[portIndex(port)] = pattern;
}

quint8 BoardModel::readPort(Port port) const
{
    const int index = portIndex(port);
    const quint8 inputs = m_direction[index];
    return quint8((inputs & m_inputPattern[index]) | (~inputs & m_output[index]));
}

QByteArray BoardModel::readPorts() const
{
    QByteArray bytes;
    for (const Port port : BoardPorts)
        bytes.append(char(readPort(port)));
    return bytes;
}

QString BoardModel::hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString BoardModel::describe(const Event &event)
{
    const QString value = hex(QByteArray(1, char(event.value)));
    const QString port = QString(QLatin1Char(portLetter(event.port)));
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
