// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "valueformats.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Only ASCII digits count; QChar::isDigit() would also accept Arabic-Indic or fullwidth ones.
int digitValue(QChar c, int base)
{
    const char16_t u = c.unicode();
    int d = base;
    if (u >= u'0' && u <= u'9')
        d = u - u'0';
    else if (u >= u'a' && u <= u'f')
        d = u - u'a' + 10;
    else if (u >= u'A' && u <= u'F')
        d = u - u'A' + 10;
    return d < base ? d : -1;
}

bool isDecimalDigit(QChar c)
{
    return digitValue(c, 10) >= 0;
}

double radixNumber(QStringView digits, int base)
{
    // Runs of any length; past 2^53 precision fades and past ~1E308 the result is inf.
    double value = 0;
    for (QChar c : digits) {
        const int d = digitValue(c, base);
        if (d < 0)
            break;
        value = value * base + d;
    }
    return value;
}

double decimalNumber(QStringView s)
{
    // Every double is decided by at most 767 significant digits; keeping a few more plus a
    // sticky 1 for any nonzero digit dropped keeps the rounding exact while from_chars only
    // ever sees a short text, however long the input.
    constexpr std::size_t kKeptDigits = 800;
    // Beyond these decimal exponents of 0.ddd the value is inf or 0 for certain.
    constexpr qint64 kExponentLimit = 400;
    // Exponent digits stop counting here; far beyond any text length, so no overflow.
    constexpr qint64 kExponentCap = qint64(1) << 52;

    const qsizetype n = s.size();
    qsizetype i = 0;
    bool negative = false;
    if (i < n && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }

    std::string digits; // significant digits, leading zeros dropped
    bool sticky = false;
    bool anyDigit = false;
    qint64 exponent = 0; // value = 0.digits * 10^exponent
    auto take = [&](int d) {
        if (digits.size() < kKeptDigits)
            digits.push_back(char('0' + d));
        else if (d != 0)
            sticky = true;
    };
    for (; i < n && isDecimalDigit(s[i]); ++i) {
        anyDigit = true;
        const int d = s[i].unicode() - u'0';
        if (digits.empty() && d == 0)
            continue;
        take(d);
        ++exponent;
    }
    if (i < n && s[i] == u'.') {
        for (++i; i < n && isDecimalDigit(s[i]); ++i) {
            anyDigit = true;
            const int d = s[i].unicode() - u'0';
            if (digits.empty() && d == 0)
                --exponent;
            else
                take(d);
        }
    }
    if (!anyDigit)
        return 0;

    if (i < n && (s[i] == u'E' || s[i] == u'e' || s[i] == u'D' || s[i] == u'd')) {
        qsizetype j = i + 1;
        bool negativeExponent = false;
        if (j < n && (s[j] == u'+' || s[j] == u'-')) {
            negativeExponent = s[j] == u'-';
            ++j;
        }
        qint64 e = 0;
        for (; j < n && isDecimalDigit(s[j]); ++j)
            e = qMin(e * 10 + (s[j].unicode() - u'0'), kExponentCap);
        exponent += negativeExponent ? -e : e;
    }

    const double sign = negative ? -1.0 : 1.0;
    if (digits.empty())
        return sign * 0.0;
    if (exponent > kExponentLimit)
        return sign * kInf;
    if (exponent < -kExponentLimit)
        return sign * 0.0;

    // The sticky 1 stands right behind the kept digits, zeros included: behind a shortened
    // run it would be a digit of the value.
    if (sticky)
        digits.push_back('1');
    std::string text = "0." + digits + 'e' + std::to_string(exponent);

    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = exponent > 0 ? kInf : 0.0;
    return sign * value;
}

QStringView lastChars(QStringView text, qsizetype count)
{
    return text.last(qMin(count, text.size()));
}

} // namespace

double NumberFromText(QStringView text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n')
            s.append(c);
    }
    if (s.startsWith(u'&')) {
        if (s.size() < 2)
            return 0;
        const QChar kind = s[1];
        const QStringView digits = QStringView(s).sliced(2);
        if (kind == u'H' || kind == u'h')
            return radixNumber(digits, 16);
        if (kind == u'O' || kind == u'o')
            return radixNumber(digits, 8);
        return 0;
    }
    return decimalNumber(s);
}

QString DecimalText(double x)
{
    if (std::isnan(x))
        return QStringLiteral(" nan");
    if (std::isinf(x))
        return x > 0 ? QStringLiteral(" inf") : QStringLiteral("-inf");
    if (x == 0)
        return QStringLiteral(" 0");

    // "d.ddddddddddddddde+XX": 15 significant digits, correctly rounded, locale-free.
    char buffer[40];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(x),
                                      std::chars_format::scientific, 14);
    const std::string_view scientific(buffer, result.ptr - buffer);
    const std::size_t marker = scientific.find('e');
    std::string digits;
    for (char c : scientific.substr(0, marker)) {
        if (c != '.')
            digits.push_back(c);
    }
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    int exponent = 0;
    const std::string_view exponentText = scientific.substr(marker + 1);
    std::from_chars(exponentText.data() + (exponentText.front() == '+'),
                    exponentText.data() + exponentText.size(), exponent);

    std::string text(1, x < 0 ? '-' : ' ');
    const std::size_t count = digits.size();
    if (exponent >= 15 || exponent < -4) {
        text += digits[0];
        if (count > 1)
            text += '.' + digits.substr(1);
        const std::string magnitude = std::to_string(std::abs(exponent));
        text += exponent < 0 ? "E-" : "E+";
        text += (magnitude.size() < 2 ? "0" : "") + magnitude;
    } else if (exponent < 0) {
        text += '.' + std::string(-exponent - 1, '0') + digits;
    } else if (std::size_t(exponent) + 1 >= count) {
        text += digits + std::string(exponent + 1 - count, '0');
    } else {
        text += digits.substr(0, exponent + 1) + '.' + digits.substr(exponent + 1);
    }
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

QString HexText(double x)
{
    return QString::number(quint32(RoundHalfEven(x)), 16).toUpper();
}

double DecimalBoxValue(QStringView text)
{
    const double value = NumberFromText(lastChars(text, 3));
    return value > 255 ? NumberFromText(lastChars(text, 2)) : value;
}

int HexBoxValue(QStringView text)
{
    QString hex = QStringLiteral("&H");
    hex += lastChars(text, 2);
    return RoundHalfEven(NumberFromText(hex)) & 0xFF;
}

bool BitOf(double v, int line)
{
    if (line < 0 || line > 31)
        return false;
    return (quint32(RoundHalfEven(v)) >> line) & 1u;
}

double ValueFromBits(const QStringList &captions, QStringView mark)
{
    double value = 0;
    const qsizetype lines = qMin<qsizetype>(captions.size(), 8);
    for (qsizetype i = 0; i < lines; ++i) {
        if (captions[i] == mark)
            value += 1 << i;
    }
    return value;
}

int PortNumberFromText(QStringView text)
{
    const double value = NumberFromText(text);
    if (!std::isfinite(value) || value < 0.5 || value > 32767.5)
        return 0;
    const std::int32_t number = RoundHalfEven(value);
    return (number >= 1 && number <= 32767) ? number : 0;
}
