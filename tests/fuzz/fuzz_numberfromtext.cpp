// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// NumberFromText against the C library's correctly rounded reading of the same decimal
// beginning, exact integers for hexadecimal and octal runs short enough to be exact, and
// the canonical DecimalText of every finite result reading back to itself.
#include "fuzzcheck.h"
#include "ports/valueformats.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

namespace {

// What NumberFromText reads: no blanks, tabs or line feeds; nothing beyond ASCII is part
// of a number, so it may stand as '?'.
std::string cleaned(const QString &text)
{
    std::string s;
    for (QChar c : text) {
        if (c == u' ' || c == u'\t' || c == u'\n')
            continue;
        s += c.unicode() < 0x80 ? char(c.unicode()) : '?';
    }
    return s;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int digitValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// The longest beginning of the form [+-]digits[.digits][(E|D)[+-]digits], by strtod. A
// marker without exponent digits is not part of the number.
double decimalReference(const std::string &s)
{
    std::string number;
    std::size_t i = 0;
    std::size_t digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        number += s[i++];
    auto run = [&] {
        for (; i < s.size() && isDigit(s[i]); ++i, ++digits)
            number += s[i];
    };
    run();
    if (i < s.size() && s[i] == '.') {
        number += s[i++];
        run();
    }
    if (digits == 0)
        return 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e' || s[i] == 'D' || s[i] == 'd')) {
        std::string exponent = "e";
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            exponent += s[j++];
        const std::size_t first = j;
        for (; j < s.size() && isDigit(s[j]); ++j)
            exponent += s[j];
        if (j > first)
            number += exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

// Runs up to 52 bits are exact in a double whatever the order of the arithmetic.
std::optional<double> radixReference(const std::string &digits, int base)
{
    const int maxDigits = base == 16 ? 13 : 17;
    std::uint64_t value = 0;
    int count = 0;
    for (char c : digits) {
        const int d = digitValue(c);
        if (d >= base)
            break;
        if (++count > maxDigits)
            return std::nullopt;
        value = value * base + d;
    }
    return double(value);
}

bool same(double a, double b)
{
    return a == b && std::signbit(a) == std::signbit(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const double value = NumberFromText(text);
    const QByteArray input = shown(text);
    FUZZ_CHECK(!std::isnan(value), "text %s", input.constData());

    const std::string s = cleaned(text);
    const char kind = s.size() >= 2 && s[0] == '&' ? s[1] : 0;
    if (kind == 'H' || kind == 'h' || kind == 'O' || kind == 'o') {
        FUZZ_CHECK(value >= 0, "text %s gives %.17g", input.constData(), value);
        if (const auto expected = radixReference(s.substr(2), kind == 'H' || kind == 'h' ? 16 : 8))
            FUZZ_CHECK(value == *expected, "text %s gives %.17g, not %.17g", input.constData(),
                       value, *expected);
    } else {
        const double expected = decimalReference(s);
        FUZZ_CHECK(same(value, expected), "text %s gives %.17g, not %.17g", input.constData(),
                   value, expected);
    }

    // RoundHalfEven is nearbyint in the default rounding mode, saturated to 32 bits.
    const double nearest = std::nearbyint(value);
    const qint32 rounded = RoundHalfEven(value);
    FUZZ_CHECK(rounded == (nearest >= 2147483647.0    ? std::numeric_limits<qint32>::max()
                           : nearest <= -2147483648.0 ? std::numeric_limits<qint32>::min()
                                                      : qint32(nearest)),
               "RoundHalfEven(%.17g) gives %d", value, rounded);
    // The low byte survives HexText, and the bit view holds the same byte.
    FUZZ_CHECK(HexBoxValue(HexText(value)) == (rounded & 0xFF), "HexText(%.17g) is %s", value,
               shown(HexText(value)).constData());
    int bits = 0;
    for (int line = 0; line < 8; ++line)
        bits |= BitOf(value, line) << line;
    FUZZ_CHECK(bits == (rounded & 0xFF), "bits of %.17g are %d", value, bits);

    if (!std::isfinite(value))
        return 0;
    const QString canonical = DecimalText(value);
    const double back = NumberFromText(canonical);
    if (std::isinf(back)) {
        // 15 digits of the largest doubles round up past DBL_MAX.
        FUZZ_CHECK(std::fabs(value) >= 1.797693134862315e308, "DecimalText(%.17g) is %s", value,
                   shown(canonical).constData());
        return 0;
    }
    FUZZ_CHECK(std::fabs(back - value) <= 6e-15 * std::fabs(value) + DBL_TRUE_MIN,
               "DecimalText(%.17g) is %s", value, shown(canonical).constData());
    // Fewer than 16 digits always survive a trip through a normal double.
    if (value == 0 || std::fabs(back) >= DBL_MIN)
        FUZZ_CHECK(DecimalText(back) == canonical, "DecimalText(%.17g) is %s, read back as %.17g",
                   value, shown(canonical).constData(), back);
    return 0;
}
