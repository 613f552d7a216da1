// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "output.h"

#include "device/systemerror.h"
#include "diagnostic.h"
#include "interrupts.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include <unistd.h>

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

std::int64_t secondsOf(const std::tm &tm)
{
    return daysFromCivil(tm.tm_year + 1900, unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday)) * 86400 +
           tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

} // namespace

bool Output::isOpen() const
{
    return !m_broken && !m_failed && !Interrupts::readerGone();
}

void Output::text(const std::string &line)
{
    write(printable(line));
}

void Output::object(const std::string &type, Json fields)
{
    fields["version"] = JsonVersion;
    fields["type"] = type;
    write(fields.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Output::result(const std::string &textLine, const std::string &type, const Json &fields)
{
    if (m_json)
        object(type, fields);
    else
        text(textLine);
}

void Output::setHolding(bool holding)
{
    m_holding = holding;
    if (!holding)
        flush();
}

void Output::flush()
{
    if (!m_held.empty())
        writeNow(std::exchange(m_held, {}));
}

std::int64_t Output::heldForMs() const
{
    if (m_held.empty())
        return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_heldSince)
        .count();
}

void Output::write(const std::string &line)
{
    if (!m_holding) {
        writeNow(line + '\n');
        return;
    }
    if (m_held.empty())
        m_heldSince = std::chrono::steady_clock::now();
    m_held += line;
    m_held += '\n';
    if (m_held.size() >= HeldBytesLimit)
        flush();
}

void Output::writeNow(const std::string &bytes)
{
    if (!isOpen())
        return;
    const Written written = writeAll(STDOUT_FILENO, bytes);
    const int error = errno;
    switch (written) {
    case Written::All:
        break;
    case Written::Interrupted: // zarvex is ending; a line cut short is not followed by others
    case Written::ReaderGone:
        m_broken = true;
        break;
    case Written::Failed:
        m_failed = true;
        diagnostic("cannot write the results: " + systemErrorText(error));
        break;
    }
}

std::int64_t msSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string localTimestamp(std::int64_t ms)
{
    if (ms < 0)
        ms = msSinceEpoch();
    const std::int64_t seconds = ms / 1000;
    const std::time_t time = std::time_t(seconds);
    std::tm local{};
    std::tm utc{};
#ifdef _WIN32
    localtime_s(&local, &time);
    gmtime_s(&utc, &time);
#else
    localtime_r(&time, &local);
    gmtime_r(&time, &utc);
#endif
    const std::int64_t offsetMinutes = (secondsOf(local) - secondsOf(utc)) / 60;
    const std::int64_t absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, int(ms % 1000), offsetMinutes < 0 ? '-' : '+',
                  int(absolute / 60), int(absolute % 60));
    return text;
}

std::string showValues(const std::vector<Selector> &selectors, const Inputs &inputs)
{
    std::string text;
    for (const Selector &selector : selectors) {
        if (!text.empty())
            text += ' ';
        text += selector.show(inputs);
    }
    return text;
}

Json valuesObject(const std::vector<Selector> &selectors, const Inputs &inputs)
{
    Json values = Json::object();
    for (const Selector &selector : selectors)
        values[selector.name()] = selector.valueIn(inputs);
    return values;
}

std::string bytesCame(std::size_t count)
{
    if (count == 0)
        return "no byte came";
    return count == 1 ? "1 byte came" : std::to_string(count) + " bytes came";
}
