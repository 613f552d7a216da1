// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// DecimalBoxValue: only the end of the text counts, the value stays within what three
// characters can write and 255, and every value the handlers keep is a fixed point of
// the texts they write for it, which is what ends their cascades.
#include "fuzzcheck.h"
#include "ports/valueformats.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const double value = DecimalBoxValue(text);
    const QByteArray input = shown(text);
    FUZZ_CHECK(std::isfinite(value) && value >= -99 && value <= 255, "text %s gives %.17g",
               input.constData(), value);
    // Three digits at the end work as a register keeping the last three digits typed, or
    // the last two when three would exceed 255.
    const QStringView tail = QStringView(text).last(qMin<qsizetype>(3, text.size()));
    if (tail.size() == 3 &&
        std::all_of(tail.begin(), tail.end(), [](QChar c) { return c >= u'0' && c <= u'9'; })) {
        const int digits = tail.toInt();
        FUZZ_CHECK(value == (digits <= 255 ? digits : digits % 100), "text %s gives %.17g",
                   input.constData(), value);
    }
    if (text.size() >= 3) {
        const double extended = DecimalBoxValue(QStringLiteral("1 ") + text);
        FUZZ_CHECK(extended == value && std::signbit(extended) == std::signbit(value),
                   "text %s gives %.17g, with a prefix %.17g", input.constData(), value, extended);
    }

    // Values rounding below 0 are replaced by 0 before anything is written.
    const qint32 rounded = RoundHalfEven(value);
    if (rounded < 0)
        return 0;
    const QString decimal = DecimalText(value);
    const double back = DecimalBoxValue(decimal);
    FUZZ_CHECK(back == value && DecimalText(back) == decimal,
               "text %s gives %.17g, written %s, which reads %.17g", input.constData(), value,
               decimal.toLatin1().constData(), back);
    const QString hex = HexText(value);
    FUZZ_CHECK(rounded <= 255 && hex.size() <= 2 && HexBoxValue(hex) == rounded,
               "text %s gives %.17g, hexadecimal %s", input.constData(), value,
               hex.toLatin1().constData());
    return 0;
}
