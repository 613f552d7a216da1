// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "telnetcodec.h"

#include <array>
#include <initializer_list>
#include <string>

namespace {

void append(std::string &out, std::initializer_list<std::uint8_t> bytes)
{
    for (const std::uint8_t byte : bytes)
        out += char(byte);
}

void appendSubnegotiation(std::string &out, std::uint8_t command, std::string_view value)
{
    append(out, {TelnetCodec::Iac, TelnetCodec::Sb, TelnetCodec::ComPort, command});
    out += TelnetCodec::escaped(value);
    append(out, {TelnetCodec::Iac, TelnetCodec::Se});
}

std::string byteValue(std::uint8_t value)
{
    return std::string(1, char(value));
}

// The line settings asked for, in the order of their com-port commands (SET-BAUDRATE first):
// 9600 baud, 8 data bits, no parity (1), one stop bit (1), no flow control (1).
struct Setting
{
    std::uint32_t value;
    const char *name;
};
constexpr std::array<Setting, 5> Wanted{
    {{9600, "baud"}, {8, "data bits"}, {1, "parity"}, {1, "stop bits"}, {1, "flow control"}}};

} // namespace

std::string TelnetCodec::escaped(std::string_view data)
{
    std::string out;
    out.reserve(data.size() + 8);
    for (const char byte : data) {
        out += byte;
        if (std::uint8_t(byte) == Iac)
            out += byte;
    }
    return out;
}

std::string TelnetCodec::opening()
{
    std::string out;
    append(out, {Iac, Will, Binary, Iac, Do, Binary, Iac, Will, ComPort});
    m_us[Binary] = Side::WantYes;
    m_him[Binary] = Side::WantYes;
    m_us[ComPort] = Side::WantYes;

    const std::uint32_t baud = Wanted[0].value;
    const char baudBytes[] = {char(baud >> 24), char(baud >> 16 & 0xFF), char(baud >> 8 & 0xFF),
                              char(baud & 0xFF)};
    appendSubnegotiation(out, SetBaudRate, std::string_view(baudBytes, 4));
    for (std::uint8_t command = SetDataSize; command <= SetControl; ++command) {
        const auto value = std::uint8_t(Wanted[command - SetBaudRate].value);
        appendSubnegotiation(out, command, byteValue(value));
    }
    return out;
}

std::string TelnetCodec::purgeReceive()
{
    std::string out;
    constexpr std::uint8_t receiveBuffer = 1;
    appendSubnegotiation(out, PurgeData, byteValue(receiveBuffer));
    return out;
}

void TelnetCodec::feed(std::string_view bytes, std::string &data, std::string &answers)
{
    for (const char c : bytes) {
        const std::uint8_t byte = std::uint8_t(c);
        switch (m_parse) {
        case Parse::Data:
            if (byte == Iac)
                m_parse = Parse::Command;
            else
                data += c;
            break;
        case Parse::Command:
            if (byte == Iac) {
                data += c;
                m_parse = Parse::Data;
            } else {
                command(byte);
            }
            break;
        case Parse::Option:
            option(m_verb, byte, answers);
            m_parse = Parse::Data;
            break;
        case Parse::Subnegotiation:
            if (byte == Iac) {
                m_parse = Parse::SubnegotiationIac;
            } else if (m_sub.size() < SubnegotiationLimit) {
                m_sub += c;
            } else {
                m_subTooLong = true;
            }
            break;
        case Parse::SubnegotiationIac:
            if (byte == Iac) {
                if (m_sub.size() < SubnegotiationLimit)
                    m_sub += c;
                else
                    m_subTooLong = true;
                m_parse = Parse::Subnegotiation;
            } else if (byte == Se) {
                if (!m_subTooLong)
                    subnegotiation();
                m_parse = Parse::Data;
            } else {
                // A server that never ends its subnegotiation: take the command as one.
                command(byte);
            }
            break;
        }
    }
}

void TelnetCodec::command(std::uint8_t byte)
{
    m_spoke = true;
    m_parse = Parse::Data;
    switch (byte) {
    case Will:
    case Wont:
    case Do:
    case Dont:
        m_verb = byte;
        m_parse = Parse::Option;
        break;
    case Sb:
        m_sub.clear();
        m_subTooLong = false;
        m_parse = Parse::Subnegotiation;
        break;
    default: // NOP, GA, DM, AYT, BRK, a stray SE...: nothing for a binary line to do
        break;
    }
}

void TelnetCodec::option(std::uint8_t verb, std::uint8_t code, std::string &answers)
{
    // An option turned off again after it was on is not taken up again: a server that keeps
    // switching one gets each refusal once, and no answer after that.
    const bool weMay = (code == Binary || code == ComPort) && !m_refusedDo[code];
    const bool heMay = (code == Binary || code == SuppressGoAhead) && !m_refusedWill[code];
    switch (verb) {
    case Do:
        if (m_us[code] == Side::Yes)
            break;
        if (m_us[code] == Side::WantYes) {
            m_us[code] = Side::Yes;
        } else if (weMay) {
            m_us[code] = Side::Yes;
            append(answers, {Iac, Will, code});
        } else if (!m_answeredDo[code]) {
            m_answeredDo[code] = true;
            append(answers, {Iac, Wont, code});
        }
        break;
    case Dont:
        if (m_us[code] == Side::Yes) {
            append(answers, {Iac, Wont, code});
            m_refusedDo[code] = true;
        }
        if (code == ComPort && m_us[code] != Side::No)
            m_refused = true;
        m_us[code] = Side::No;
        break;
    case Will:
        if (m_him[code] == Side::Yes)
            break;
        if (m_him[code] == Side::WantYes) {
            m_him[code] = Side::Yes;
        } else if (heMay) {
            m_him[code] = Side::Yes;
            append(answers, {Iac, Do, code});
        } else if (!m_answeredWill[code]) {
            m_answeredWill[code] = true;
            append(answers, {Iac, Dont, code});
        }
        break;
    case Wont:
        if (m_him[code] == Side::Yes) {
            append(answers, {Iac, Dont, code});
            m_refusedWill[code] = true;
        }
        m_him[code] = Side::No;
        if (code == ComPort && m_us[code] != Side::No)
            m_refused = true;
        break;
    default:
        break;
    }
}

void TelnetCodec::subnegotiation()
{
    if (m_sub.size() < 2 || std::uint8_t(m_sub[0]) != ComPort)
        return;
    const std::uint8_t answer = std::uint8_t(m_sub[1]);
    if (answer < ServerOffset + SetBaudRate || answer > ServerOffset + SetControl) {
        // Line state, modem state and purge notices, and anything else, change nothing here.
        return;
    }
    const int setting = answer - ServerOffset - SetBaudRate;
    m_confirmed |= std::uint8_t(1u << setting);
    // The server answers with what the line now has, which need not be what was asked.
    std::uint32_t value = 0;
    for (const char byte : std::string_view(m_sub).substr(2))
        value = value << 8 | std::uint8_t(byte);
    if (value == Wanted[setting].value)
        m_otherSettings.erase(setting);
    else
        m_otherSettings[setting] = value;
}

std::string TelnetCodec::otherSettings() const
{
    std::string text;
    for (const auto &[setting, value] : m_otherSettings) {
        if (!text.empty())
            text += ", ";
        const std::string number = std::to_string(value);
        const std::string name = Wanted[std::size_t(setting)].name;
        text += setting < 2 ? number + ' ' + name : name + ' ' + number;
    }
    return text;
}
