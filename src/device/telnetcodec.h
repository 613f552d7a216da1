// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

// The client side of telnet with the com-port option (RFC 2217), as a state machine without
// I/O: what to send after connecting, and the bytes from the server split into the board's
// data and what has to be answered. The line is binary both ways; negotiation never loops,
// since an answer is only given when an option's state changes (RFC 1143), a request we
// refuse is refused once, and an option the server turned off stays off.
class TelnetCodec
{
public:
    enum : std::uint8_t {
        Se = 240,
        Nop = 241,
        Sb = 250,
        Will = 251,
        Wont = 252,
        Do = 253,
        Dont = 254,
        Iac = 255,
    };
    enum : std::uint8_t { Binary = 0, Echo = 1, SuppressGoAhead = 3, ComPort = 44 };
    // Com-port commands; the server answers each with the same number plus 100.
    enum : std::uint8_t {
        SetBaudRate = 1,
        SetDataSize = 2,
        SetParity = 3,
        SetStopSize = 4,
        SetControl = 5,
        PurgeData = 12,
        ServerOffset = 100,
    };
    // Longer subnegotiations are dropped whole: none we read is anywhere near it.
    static constexpr std::size_t SubnegotiationLimit = 64;

    // data with every 0xFF doubled, as it must go to the server.
    static std::string escaped(std::string_view data);

    // Sent once, right after connecting: binary both ways, the com-port option, and the line
    // settings 9600 8N1 without flow control. Nothing in it reaches the board.
    std::string opening();

    // Asks the server to drop what it has received from the board and not yet passed on.
    static std::string purgeReceive();

    // Takes bytes from the server, split anywhere: appends the board's bytes to data and
    // what must be sent back to answers.
    void feed(std::string_view bytes, std::string &data, std::string &answers);

    // The server confirmed all five line settings, or refused the com-port option: nothing
    // more is coming to wait for.
    bool settled() const { return m_refused || m_confirmed == AllSettings; }
    bool comPortRefused() const { return m_refused; }
    // The settings the server answered with values other than those asked for, for people:
    // "4800 baud, 7 data bits"; empty when each answer was the value asked.
    std::string otherSettings() const;
    // Any telnet command seen (an escaped 0xFF in the data is none).
    bool serverSpokeTelnet() const { return m_spoke; }

private:
    enum class Parse { Data, Command, Option, Subnegotiation, SubnegotiationIac };
    // One side of an option, after RFC 1143 without its queue.
    enum class Side : std::uint8_t { No, WantYes, Yes };
    static constexpr std::uint8_t AllSettings = 0x1F;

    void command(std::uint8_t byte);
    void option(std::uint8_t verb, std::uint8_t code, std::string &answers);
    void subnegotiation();

    Parse m_parse = Parse::Data;
    std::uint8_t m_verb = 0;
    std::string m_sub;
    bool m_subTooLong = false;
    std::array<Side, 256> m_us{};          // what we do (WILL/WONT)
    std::array<Side, 256> m_him{};         // what the server does (DO/DONT from us)
    std::array<bool, 256> m_refusedDo{};   // not to be done again, whatever is asked
    std::array<bool, 256> m_refusedWill{}; // not to be let done again
    std::array<bool, 256> m_answeredDo{};  // a refusal has gone: none again
    std::array<bool, 256> m_answeredWill{};
    std::uint8_t m_confirmed = 0;                 // bit n: setting n + 1 answered
    std::map<int, std::uint32_t> m_otherSettings; // setting index: the value the server answered
    bool m_refused = false;
    bool m_spoke = false;
};
