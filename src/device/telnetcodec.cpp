// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "telnetcodec.h"

#include <QStringList>

#include <array>

namespace {

void append(QByteArray &out, std::initializer_list<quint8> bytes)
{
    for (const quint8 byte : bytes)
        out.append(char(byte));
}

void appendSubnegotiation(QByteArray &out, quint8 command, QByteArrayView value)
{
    append(out, {TelnetCodec::Iac, TelnetCodec::Sb, TelnetCodec::ComPort, command});
    out += TelnetCodec::escaped(value);
    append(out, {TelnetCodec::Iac, TelnetCodec::Se});
}

QByteArrayView byteValue(const quint8 &value)
{
    return QByteArrayView(reinterpret_cast<const char *>(&value), 1);
}

// The line settings asked for, in the order of their com-port commands (SET-BAUDRATE first):
// 9600 baud, 8 data bits, no parity (1), one stop bit (1), no flow control (1).
struct Setting
{
    quint32 value;
    const char *name;
};
constexpr std::array<Setting, 5> Wanted{
    {{9600, "baud"}, {8, "data bits"}, {1, "parity"}, {1, "stop bits"}, {1, "flow control"}}};

} // namespace

QByteArray TelnetCodec::escaped(QByteArrayView data)
{
    QByteArray out;
    out.reserve(data.size() + data.count(char(Iac)));
    for (const char byte : data) {
        out.append(byte);
        if (quint8(byte) == Iac)
            out.append(byte);
    }
    return out;
}

QByteArray TelnetCodec::opening()
{
    QByteArray out;
    append(out, {Iac, Will, Binary, Iac, Do, Binary, Iac, Will, ComPort});
    m_us[Binary] = Side::WantYes;
    m_him[Binary] = Side::WantYes;
    m_us[ComPort] = Side::WantYes;

    const quint32 baud = Wanted[0].value;
    const char baudBytes[] = {char(baud >> 24), char(baud >> 16 & 0xFF), char(baud >> 8 & 0xFF),
                              char(baud & 0xFF)};
    appendSubnegotiation(out, SetBaudRate, QByteArrayView(baudBytes, 4));
    for (quint8 command = SetDataSize; command <= SetControl; ++command) {
        const auto value = quint8(Wanted[command - SetBaudRate].value);
        appendSubnegotiation(out, command, byteValue(value));
    }
    return out;
}

QByteArray TelnetCodec::purgeReceive()
{
    QByteArray out;
    constexpr quint8 receiveBuffer = 1;
    appendSubnegotiation(out, PurgeData, byteValue(receiveBuffer));
    return out;
}

void TelnetCodec::feed(QByteArrayView bytes, QByteArray &data, QByteArray &answers)
{
    for (const char c : bytes) {
        const quint8 byte = quint8(c);
        switch (m_parse) {
        case Parse::Data:
            if (byte == Iac)
                m_parse = Parse::Command;
            else
                data.append(c);
            break;
        case Parse::Command:
            if (byte == Iac) {
                data.append(c);
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
                m_sub.append(c);
            } else {
                m_subTooLong = true;
            }
            break;
        case Parse::SubnegotiationIac:
            if (byte == Iac) {
                if (m_sub.size() < SubnegotiationLimit)
                    m_sub.append(c);
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

void TelnetCodec::command(quint8 byte)
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

void TelnetCodec::option(quint8 verb, quint8 code, QByteArray &answers)
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
    if (m_sub.size() < 2 || quint8(m_sub[0]) != ComPort)
        return;
    const quint8 answer = quint8(m_sub[1]);
    if (answer < ServerOffset + SetBaudRate || answer > ServerOffset + SetControl) {
        // Line state, modem state and purge notices, and anything else, change nothing here.
        return;
    }
    const int setting = answer - ServerOffset - SetBaudRate;
    m_confirmed |= quint8(1u << setting);
    // The server answers with what the line now has, which need not be what was asked.
    quint32 value = 0;
    for (const char byte : QByteArrayView(m_sub).sliced(2))
        value = value << 8 | quint8(byte);
    if (value == Wanted[setting].value)
        m_otherSettings.remove(setting);
    else
        m_otherSettings.insert(setting, value);
}

QString TelnetCodec::otherSettings() const
{
    QStringList texts;
    for (auto it = m_otherSettings.cbegin(); it != m_otherSettings.cend(); ++it) {
        const Setting &wanted = Wanted[it.key()];
        texts << (it.key() < 2 ? QStringLiteral("%1 %2") : QStringLiteral("%2 %1"))
                     .arg(it.value())
                     .arg(QLatin1String(wanted.name));
    }
    return texts.join(QLatin1String(", "));
}
