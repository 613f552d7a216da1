// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// HexBoxValue: the hexadecimal digits at the end of the text, within 0..255, and a text
// the handlers write for a value reads back as that value in both boxes.
#include "fuzzcheck.h"
#include "ports/valueformats.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const int value = HexBoxValue(text);
    const QByteArray input = shown(text);

    // The last two characters, without blanks, tabs and line feeds, up to the first one
    // that is no hexadecimal digit.
    int expected = 0;
    for (QChar c : QStringView(text).last(qMin<qsizetype>(2, text.size()))) {
        if (c == u' ' || c == u'\t' || c == u'\n')
            continue;
        const int digit = QStringLiteral("0123456789ABCDEF").indexOf(c, 0, Qt::CaseInsensitive);
        if (digit < 0 || c.unicode() >= 0x80)
            break;
        expected = expected * 16 + digit;
    }
    FUZZ_CHECK(value == expected, "text %s gives %d, not %d", input.constData(), value, expected);
    if (text.size() >= 2)
        FUZZ_CHECK(HexBoxValue(QStringLiteral("F") + text) == value,
                   "text %s gives %d, not so with a prefix", input.constData(), value);

    const QString hex = HexText(value);
    FUZZ_CHECK(hex.size() <= 2 && hex == hex.toUpper() && HexBoxValue(hex) == value &&
                   HexText(HexBoxValue(hex)) == hex,
               "text %s gives %d, written %s", input.constData(), value,
               hex.toLatin1().constData());
    const QString decimal = DecimalText(value);
    FUZZ_CHECK(
        DecimalBoxValue(decimal) == value && DecimalText(DecimalBoxValue(decimal)) == decimal,
        "text %s gives %d, written %s", input.constData(), value, decimal.toLatin1().constData());
    return 0;
}
