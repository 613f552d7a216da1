// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "grammar.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A JSON object's keys come out sorted, as programs reading zarvex have always had them.
using Json = nlohmann::json;

// Results go to standard output, one line each, written at once so that a pipe sees every line
// when it happens: plain text, or with --json one JSON object a line. Diagnostics go to standard
// error as one line "zarvex: ..." (diagnostic()). After a signal, a full standard output is
// waited for only while its reader keeps reading: then the line is dropped, never the signal.
class Output
{
public:
    static constexpr int JsonVersion = 1;

    explicit Output(bool json) : m_json(json) {}

    bool json() const { return m_json; }
    // False once standard output is gone (the reader of a pipe ended) or failed; nothing more
    // is written.
    bool isOpen() const;
    // A write failed other than by the reader going away; said once on standard error.
    bool failed() const { return m_failed; }

    void text(const std::string &line);
    // Adds "version" and "type".
    void object(const std::string &type, Json fields);
    // The one of the two that --json chose.
    void result(const std::string &textLine, const std::string &type, const Json &fields);

    // While holding, lines wait (up to HeldBytesLimit) until flush(), so that the replies to
    // commands already waiting in a batch's input leave together, in one write.
    void setHolding(bool holding);
    void flush();
    // How long the oldest line held has waited; 0 when none is.
    std::int64_t heldForMs() const;

private:
    static constexpr std::size_t HeldBytesLimit = 4096;

    void write(const std::string &line);
    void writeNow(const std::string &bytes);

    bool m_json;
    bool m_broken = false;
    bool m_failed = false;
    bool m_holding = false;
    std::string m_held;
    std::chrono::steady_clock::time_point m_heldSince;
};

// A moment (now, or ms since the epoch) in local time, to the millisecond, with the offset from
// UTC: 2026-12-08T19:40:01.123+01:00
std::string localTimestamp(std::int64_t msSinceEpoch = -1);
// Now, in ms since the epoch.
std::int64_t msSinceEpoch();

// "A=0x5A A.3=1", and as JSON {"A": 90, "A.3": 1}
std::string showValues(const std::vector<Selector> &selectors, const Inputs &inputs);
Json valuesObject(const std::vector<Selector> &selectors, const Inputs &inputs);

// "no byte came", "1 byte came", "4 bytes came"
std::string bytesCame(std::size_t count);
