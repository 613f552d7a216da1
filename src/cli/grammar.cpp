// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "grammar.h"

#include <algorithm>

namespace {

// Longest duration accepted: what a signed 32-bit count of milliseconds holds (24.8 days).
constexpr std::int64_t LongestDurationMs = 2147483647;

int digitOf(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

bool isDigits(std::string_view text, int base)
{
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [&](char c) { return digitOf(c) < base; });
}

// Digits of the given base as a number, saturating just above `limit`.
std::int64_t digitsValue(std::string_view digits, int base, std::int64_t limit)
{
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value * base + digitOf(c);
        if (value > limit)
            return limit + 1;
    }
    return value;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return a == b || (a >= 'a' && a - 32 == b); });
}

bool equalsNoCase(std::string_view text, std::string_view word)
{
    return text.size() == word.size() && startsWithNoCase(text, word);
}

char upper(char c)
{
    return c >= 'a' && c <= 'z' ? char(c - 32) : c;
}

std::optional<int> parseBit(std::string_view text, std::string *error)
{
    if (text == "0" || text == "1")
        return text == "1" ? 1 : 0;
    *error = "bad line value " + quoted(text) + ": a line is 0 or 1";
    return std::nullopt;
}

std::string registerName(Register reg)
{
    return reg == Register::Direction ? "direction" : "write";
}

} // namespace

std::string quoted(std::string_view text)
{
    return '"' + std::string(text) + '"';
}

std::optional<std::uint8_t> parseValue(std::string_view text, std::string *error)
{
    const std::string allowed =
        "a value is 0 to 255: decimal (90), hexadecimal (0x5A) or binary (0b01011010)";
    int base = 10;
    std::string_view digits = text;
    if (startsWithNoCase(text, "0x")) {
        base = 16;
        digits.remove_prefix(2);
    } else if (startsWithNoCase(text, "0b")) {
        base = 2;
        digits.remove_prefix(2);
    }
    if (!isDigits(digits, base)) {
        *error = "bad value " + quoted(text) + ": " + allowed;
        return std::nullopt;
    }
    if (base == 10 && digits.size() > 1 && digits.front() == '0') {
        *error = "bad value " + quoted(text) +
                 ": a decimal value has no leading zeros (0x5A is hexadecimal, 0b01011010 "
                 "binary)";
        return std::nullopt;
    }
    const std::int64_t value = digitsValue(digits, base, 255);
    if (value > 255) {
        *error = "value " + quoted(text) + " is out of range: " + allowed;
        return std::nullopt;
    }
    return std::uint8_t(value);
}

std::optional<Port> parsePort(std::string_view text, std::string *error)
{
    if (text.size() == 1) {
        if (const auto port = portFromLetter(upper(text.front())))
            return port;
    }
    *error = "bad port " + quoted(text) + ": a port is A, B or C";
    return std::nullopt;
}

std::optional<std::int64_t> parseDuration(std::string_view text, std::string *error)
{
    std::int64_t unit = 1;
    std::string_view digits = text;
    if (digits.ends_with("ms")) {
        digits.remove_suffix(2);
    } else if (digits.ends_with('s')) {
        unit = 1000;
        digits.remove_suffix(1);
    } else if (digits.ends_with('m')) {
        unit = 60 * 1000;
        digits.remove_suffix(1);
    }
    if (!isDigits(digits, 10)) {
        *error = "bad duration " + quoted(text) +
                 ": expected a whole number with ms, s or m (250ms, 2s, 1m); a bare number is "
                 "milliseconds";
        return std::nullopt;
    }
    const std::int64_t count = digitsValue(digits, 10, LongestDurationMs);
    if (count > LongestDurationMs / unit) {
        *error = "duration " + quoted(text) + " is too long: at most " +
                 std::to_string(LongestDurationMs) + " ms";
        return std::nullopt;
    }
    return count * unit;
}

std::optional<int> parsePortNumber(std::string_view text, std::string *error)
{
    const std::int64_t number = isDigits(text, 10) ? digitsValue(text, 10, 32767) : 0;
    if (number < 1 || number > 32767 || text.front() == '0') {
        *error =
            "bad port number " + quoted(text) + ": a port number is a whole number from 1 to 32767";
        return std::nullopt;
    }
    return int(number);
}

std::optional<std::int64_t> parseCount(std::string_view text, std::int64_t limit)
{
    if (!isDigits(text, 10))
        return std::nullopt;
    std::int64_t count = 0;
    for (const char c : text) {
        const int digit = c - '0';
        if (count > (limit - digit) / 10)
            return std::nullopt;
        count = count * 10 + digit;
    }
    return count;
}

const NamedLine *findName(const LineNames &names, std::string_view name)
{
    const auto found = std::find_if(names.begin(), names.end(),
                                    [&](const NamedLine &named) { return named.name == name; });
    return found == names.end() ? nullptr : &*found;
}

std::string Selector::name() const
{
    if (!alias.empty())
        return alias;
    std::string name(1, portLetter(port));
    if (isLine())
        name += '.' + std::to_string(line);
    return name;
}

int Selector::valueIn(const Inputs &inputs) const
{
    const int value = inputs[portIndex(port)];
    return isLine() ? ((value >> line) & 1) ^ int(activeLow) : value;
}

std::string Selector::show(const Inputs &inputs) const
{
    const int value = valueIn(inputs);
    return name() + '=' + (isLine() ? std::to_string(value) : hexByte(value));
}

std::optional<Selector> parseSelector(std::string_view text, std::string *error,
                                      const LineNames &names)
{
    const auto port = text.empty() ? std::nullopt : portFromLetter(upper(text.front()));
    if (port && text.size() == 1)
        return Selector{*port, -1};
    if (port && text.size() == 3 && text[1] == '.' && text[2] >= '0' && text[2] <= '7')
        return Selector{*port, text[2] - '0'};
    if (const NamedLine *named = findName(names, text))
        return Selector{named->port, named->line, named->name, named->activeLow};
    *error = "bad port or line " + quoted(text) +
             (names.empty() ? ": expected a port A, B, C or a line A.0 to C.7"
                            : ": expected a port A, B, C, a line A.0 to C.7 or a name of the "
                              "board file");
    return std::nullopt;
}

std::optional<std::vector<Selector>> parseSelectors(const std::vector<std::string> &texts,
                                                    std::string *error, const LineNames &names)
{
    std::vector<Selector> selectors;
    for (const std::string &text : texts) {
        const auto selector = parseSelector(text, error, names);
        if (!selector)
            return std::nullopt;
        if (std::find(selectors.begin(), selectors.end(), *selector) == selectors.end())
            selectors.push_back(*selector);
    }
    if (selectors.empty()) {
        for (const Port port : BoardPorts)
            selectors.push_back(Selector{port, -1});
    }
    return selectors;
}

bool Condition::holds(const Inputs &inputs) const
{
    return (inputs[portIndex(target.port)] & mask) == value;
}

std::optional<Condition> parseCondition(std::string_view text, std::string *error,
                                        const LineNames &names)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) {
        *error = "bad condition " + quoted(text) +
                 ": expected PORT=VALUE (A=0x5A), LINE=BIT (A.3=1) or PORT&MASK=VALUE "
                 "(A&0x0F=0x05)";
        return std::nullopt;
    }
    const std::string_view left = text.substr(0, equals);
    const std::string_view right = text.substr(equals + 1);
    Condition condition;
    condition.text = std::string(text);

    const auto ampersand = left.find('&');
    const auto selector = parseSelector(left.substr(0, ampersand), error, names);
    if (!selector)
        return std::nullopt;
    condition.target = *selector;
    if (selector->isLine()) {
        if (ampersand != std::string_view::npos) {
            *error =
                "bad condition " + quoted(text) + ": a mask applies to a whole port (A&0x0F=0x05)";
            return std::nullopt;
        }
        const auto bit = parseBit(right, error);
        if (!bit)
            return std::nullopt;
        condition.mask = std::uint8_t(1u << selector->line);
        condition.value = std::uint8_t((*bit ^ int(selector->activeLow)) << selector->line);
        return condition;
    }
    if (ampersand != std::string_view::npos) {
        const auto mask = parseValue(left.substr(ampersand + 1), error);
        if (!mask)
            return std::nullopt;
        condition.mask = *mask;
    }
    const auto value = parseValue(right, error);
    if (!value)
        return std::nullopt;
    if ((*value & ~condition.mask) != 0) {
        *error = "condition " + quoted(text) + " can never hold: " + hexByte(*value) +
                 " has bits outside the mask " + hexByte(condition.mask);
        return std::nullopt;
    }
    condition.value = *value;
    return condition;
}

bool ConditionSet::holds(const Inputs &inputs) const
{
    const auto holdsHere = [&](const Condition &condition) { return condition.holds(inputs); };
    return any ? std::any_of(conditions.cbegin(), conditions.cend(), holdsHere)
               : std::all_of(conditions.cbegin(), conditions.cend(), holdsHere);
}

std::vector<Selector> ConditionSet::operands() const
{
    std::vector<Selector> selectors;
    for (const Condition &condition : conditions) {
        if (std::find(selectors.begin(), selectors.end(), condition.target) == selectors.end())
            selectors.push_back(condition.target);
    }
    return selectors;
}

std::optional<Assignment> parseAssignment(Register reg, std::string_view text, std::string *error,
                                          const LineNames &names)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) {
        *error = reg == Register::Direction
                     ? "bad direction " + quoted(text) +
                           ": expected PORT=VALUE (A=0xF0, A=in, A=out) or LINE=in|out (A.3=out)"
                     : "bad write " + quoted(text) +
                           ": expected PORT=VALUE (A=0x5A) or LINE=BIT (A.3=1)";
        return std::nullopt;
    }
    const auto selector = parseSelector(text.substr(0, equals), error, names);
    if (!selector)
        return std::nullopt;
    Assignment assignment{*selector, 0, std::string(text)};
    const std::string_view right = text.substr(equals + 1);
    if (reg == Register::Direction && equalsNoCase(right, "in")) {
        assignment.value = selector->isLine() ? 1 : 0xFF;
        return assignment;
    }
    if (reg == Register::Direction && equalsNoCase(right, "out")) {
        assignment.value = 0;
        return assignment;
    }
    const std::optional<int> value =
        selector->isLine() ? parseBit(right, error) : std::optional<int>(parseValue(right, error));
    if (!value)
        return std::nullopt;
    const bool inverted = reg == Register::Write && selector->activeLow;
    assignment.value = std::uint8_t(inverted ? !*value : *value);
    return assignment;
}

std::optional<std::uint8_t> KnownRegisters::value(Register reg, Port port) const
{
    return (reg == Register::Direction ? m_direction : m_write)[portIndex(port)];
}

void KnownRegisters::set(Register reg, Port port, std::uint8_t value)
{
    (reg == Register::Direction ? m_direction : m_write)[portIndex(port)] = value;
}

void KnownRegisters::reset()
{
    m_direction.fill(std::uint8_t(0xFF));
    m_write.fill(std::uint8_t(0));
}

std::optional<std::uint8_t> KnownRegisters::resolve(Register reg, const Assignment &assignment,
                                                    std::string *error) const
{
    const Selector &target = assignment.target;
    if (!target.isLine())
        return assignment.value;
    const auto known = value(reg, target.port);
    if (!known) {
        const std::string letter(1, portLetter(target.port));
        *error = quoted(assignment.text) + " sets one line, but the other lines of port " + letter +
                 "'s " + registerName(reg) +
                 " register are not known (the board cannot report them): set the whole port "
                 "first (" +
                 letter + "=0x.. before it on the same command line, or " +
                 (target.alias.empty() ? "" : "setup, ") + "reset or " + letter +
                 "=0x.. earlier in the same batch)";
        return std::nullopt;
    }
    const auto bit = std::uint8_t(1u << target.line);
    return std::uint8_t(assignment.value ? (*known | bit) : (*known & ~bit));
}

std::string hexByte(int value)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    return {'0', 'x', Digits[(value >> 4) & 0xF], Digits[value & 0xF]};
}

std::string durationText(std::int64_t ms)
{
    if (ms > 0 && ms % 60000 == 0)
        return std::to_string(ms / 60000) + 'm';
    if (ms > 0 && ms % 1000 == 0)
        return std::to_string(ms / 1000) + 's';
    return std::to_string(ms) + "ms";
}

std::string validUtf8(std::string_view text)
{
    std::string valid;
    valid.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = lead < 0x80                    ? 1
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
        std::uint32_t code = length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
            if ((next & 0xC0) != 0x80) {
                length = 0;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong, a surrogate, or beyond U+10FFFF.
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            length = 0;
        if (length == 0) {
            valid += "\xEF\xBF\xBD";
            ++at;
        } else {
            valid.append(text.substr(at, length));
            at += length;
        }
    }
    return valid;
}
