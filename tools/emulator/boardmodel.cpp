// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "boardmodel.h"

#include <iterator>

std::vector<BoardModel::Event> BoardModel::feed(std::uint8_t byte)
{
    std::vector<Event> events;
    switch (m_state) {
    case State::Idle:
        break;
    case State::DirectionPort:
        if (const auto port = portFromLetter(char(byte))) {
            m_pendingPort = *port;
            m_state = State::DirectionValue;
            return events;
        }
        events.push_back(ignored(SetDirectionByte));
        break;
    case State::DirectionValue:
        m_direction[portIndex(m_pendingPort)] = byte;
        m_state = State::Idle;
        events.push_back({EventKind::SetDirection, m_pendingPort, byte, {}});
        return events;
    case State::WriteValue:
        m_output[portIndex(m_pendingPort)] = byte;
        m_state = State::Idle;
        events.push_back({EventKind::WritePort, m_pendingPort, byte, {}});
        return events;
    case State::ReadB:
        if (byte == 'b') {
            m_state = State::ReadC;
            return events;
        }
        events.push_back(ignored('a'));
        break;
    case State::ReadC:
        if (byte == 'c') {
            m_state = State::Idle;
            events.push_back({EventKind::ReadPorts, Port::A, 0, readPorts()});
            return events;
        }
        events.push_back(ignored('a'));
        events.push_back(ignored('b'));
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
        events.push_back(ignored(byte));
    }
    return events;
}

std::vector<BoardModel::Event> BoardModel::feed(std::string_view bytes)
{
    std::vector<Event> events;
    for (const char byte : bytes) {
        std::vector<Event> more = feed(std::uint8_t(byte));
        events.insert(events.end(), std::make_move_iterator(more.begin()),
                      std::make_move_iterator(more.end()));
    }
    return events;
}

void BoardModel::reset()
{
    m_state = State::Idle;
    m_direction.fill(PowerUpDirection);
    m_output.fill(0);
}

std::uint8_t BoardModel::direction(Port port) const
{
    return m_direction[portIndex(port)];
}

std::uint8_t BoardModel::output(Port port) const
{
    return m_output[portIndex(port)];
}

std::uint8_t BoardModel::inputPattern(Port port) const
{
    return m_inputPattern[portIndex(port)];
}

void BoardModel::setInputPattern(Port port, std::uint8_t pattern)
{
    m_inputPattern[portIndex(port)] = pattern;
}

std::uint8_t BoardModel::readPort(Port port) const
{
    const int index = portIndex(port);
    const std::uint8_t inputs = m_direction[index];
    return std::uint8_t((inputs & m_inputPattern[index]) | (~inputs & m_output[index]));
}

std::string BoardModel::readPorts() const
{
    std::string bytes;
    for (const Port port : BoardPorts)
        bytes += char(readPort(port));
    return bytes;
}

std::string BoardModel::hex(std::string_view bytes)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    for (const char byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += Digits[std::uint8_t(byte) >> 4];
        text += Digits[std::uint8_t(byte) & 0x0F];
    }
    return text;
}

std::string BoardModel::describe(const Event &event)
{
    const std::string value = hex(std::string(1, char(event.value)));
    const std::string port(1, portLetter(event.port));
    switch (event.kind) {
    case EventKind::SetDirection:
        return "set-direction " + port + ' ' + value;
    case EventKind::WritePort:
        return "write-port " + port + ' ' + value;
    case EventKind::ReadPorts:
        return "read-ports -> " + hex(event.reply);
    case EventKind::Ignored:
        break;
    }
    return "ignored " + value;
}
