// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ports/valueformats.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QTest>

#include <cfenv>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// QCOMPARE on doubles is fuzzy; the readers must be exact. Both zeros compare as "0".
QByteArray exact(double v)
{
    if (v == 0)
        return "0";
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return QByteArray(buffer, result.ptr - buffer);
}

QString repeated(char c, qsizetype count)
{
    return QString(count, QLatin1Char(c));
}

// Decimal digits of 5^n, so that digits + "E-n" is exactly 2^-n.
QString powerOfFive(int n)
{
    std::vector<int> digits{1}; // least significant first
    for (int k = 0; k < n; ++k) {
        int carry = 0;
        for (int &d : digits) {
            const int v = d * 5 + carry;
            d = v % 10;
            carry = v / 10;
        }
        for (; carry; carry /= 10)
            digits.push_back(carry % 10);
    }
    QString text;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it)
        text += QChar(u'0' + *it);
    return text;
}

bool isAsciiDigit(char16_t u)
{
    return u >= u'0' && u <= u'9';
}

} // namespace

class TestValueFormats : public QObject
{
    Q_OBJECT

private slots:
    void numberFromText_data();
    void numberFromText();
    void numberFromTextLongTexts_data();
    void numberFromTextLongTexts();
    void numberFromTextEverySingleCodeUnit();
    void numberFromTextAgreesWithCLibrary();
    void hostileTextsGiveNumbers();

    void roundHalfEven_data();
    void roundHalfEven();
    void roundHalfEvenIgnoresRoundingMode();

    void decimalText_data();
    void decimalText();
    void decimalTextReadsBackUnchanged();

    void hexText_data();
    void hexText();

    void decimalBoxValue_data();
    void decimalBoxValue();
    void hexBoxValue_data();
    void hexBoxValue();

    void bitOf_data();
    void bitOf();
    void valueFromBits_data();
    void valueFromBits();

    void everyByteValueRoundTrips();
    void localeDoesNotMatter();
};

void TestValueFormats::numberFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow("12abc") << u"12abc"_s << 12.0;
    QTest::newRow("blanks inside") << u" 1 2"_s << 12.0;
    QTest::newRow("tab and line feed") << u"\t1\n2 "_s << 12.0;
    QTest::newRow("1.5") << u"1.5"_s << 1.5;
    QTest::newRow(".5") << u".5"_s << 0.5;
    QTest::newRow("-.5") << u"-.5"_s << -0.5;
    QTest::newRow("+.5") << u"+.5"_s << 0.5;
    QTest::newRow("1E2") << u"1E2"_s << 100.0;
    QTest::newRow("1e+2") << u"1e+2"_s << 100.0;
    QTest::newRow("2D1") << u"2D1"_s << 20.0;
    QTest::newRow("1d-1") << u"1d-1"_s << 0.1;
    QTest::newRow("blanks in exponent") << u" - 1 . 5 E + 1"_s << -15.0;
    QTest::newRow("exponent without digits") << u"1E"_s << 1.0;
    QTest::newRow("exponent sign without digits") << u"1E+"_s << 1.0;
    QTest::newRow("D without digits") << u"3d-x"_s << 3.0;
    QTest::newRow("second point") << u"1.2.3"_s << 1.2;
    QTest::newRow("comma is no separator") << u"1,5"_s << 1.0;
    QTest::newRow("-5") << u"-5"_s << -5.0;
    QTest::newRow("5.") << u"5."_s << 5.0;
    QTest::newRow("leading zeros") << u"000.0012"_s << 0.0012;
    QTest::newRow("0.1") << u"0.1"_s << 0.1;
    QTest::newRow("x1") << u"x1"_s << 0.0;
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("abc") << u"abc"_s << 0.0;
    QTest::newRow("-") << u"-"_s << 0.0;
    QTest::newRow(".") << u"."_s << 0.0;
    QTest::newRow("+.") << u"+."_s << 0.0;
    QTest::newRow("two signs") << u"+-1"_s << 0.0;
    QTest::newRow("E alone") << u"E5"_s << 0.0;

    QTest::newRow("&HfF") << u"&HfF"_s << 255.0;
    QTest::newRow("&hFE") << u"&hFE"_s << 254.0;
    QTest::newRow("&H") << u"&H"_s << 0.0;
    QTest::newRow("&H1G") << u"&H1G"_s << 1.0;
    QTest::newRow("&H blanks") << u" & H 1 0"_s << 16.0;
    QTest::newRow("&H-1") << u"&H-1"_s << 0.0;
    QTest::newRow("&HFFFFFFFF") << u"&HFFFFFFFF"_s << 4294967295.0;
    QTest::newRow("&H 2^64") << u"&H10000000000000000"_s << 18446744073709551616.0;
    QTest::newRow("&O17") << u"&O17"_s << 15.0;
    QTest::newRow("&o777") << u"&o777"_s << 511.0;
    QTest::newRow("&O8") << u"&O8"_s << 0.0;
    QTest::newRow("&O18") << u"&O18"_s << 1.0;
    QTest::newRow("&") << u"&"_s << 0.0;
    QTest::newRow("&X1") << u"&X1"_s << 0.0;
    QTest::newRow("&1") << u"&1"_s << 0.0;
    QTest::newRow("1&H1") << u"1&H1"_s << 1.0;

    QTest::newRow("1E400") << u"1E400"_s << kInf;
    QTest::newRow("-1E400") << u"-1E400"_s << -kInf;
    QTest::newRow("1E-400") << u"1E-400"_s << 0.0;
    QTest::newRow("largest") << u"1.7976931348623157e308"_s << 1.7976931348623157e308;
    QTest::newRow("just past largest") << u"1.7976931348623159e308"_s << kInf;
    QTest::newRow("smallest normal") << u"2.2250738585072011e-308"_s << 2.2250738585072011e-308;
    QTest::newRow("smallest subnormal") << u"4.9e-324"_s << 4.9e-324;
    QTest::newRow("rounds up to subnormal") << u"3e-324"_s << 4.9e-324;
    QTest::newRow("rounds down to zero") << u"2e-324"_s << 0.0;
    QTest::newRow("tie to even") << u"9007199254740993"_s << 9007199254740992.0;
    QTest::newRow("just above tie") << u"9007199254740993.0000000001"_s << 9007199254740994.0;

    QTest::newRow("CR is not a blank") << u"\r1"_s << 0.0;
    QTest::newRow("CR stops digits") << u"1\r2"_s << 1.0;
    QTest::newRow("vertical tab") << u"\v1"_s << 0.0;
    QTest::newRow("NUL stops digits") << u"1\0002"_s << 1.0;
    QTest::newRow("no-break space") << u"\u00a01"_s << 0.0;
    QTest::newRow("Arabic-Indic digit") << u"\u0661"_s << 0.0;
    QTest::newRow("Arabic-Indic after digit") << u"12\u0661"_s << 12.0;
    QTest::newRow("fullwidth digit") << u"\uff11"_s << 0.0;
    QTest::newRow("fullwidth hex digit") << u"&H\uff21"_s << 0.0;
    QTest::newRow("lone surrogate") << u"7\xD800"
                                       u"1"_s
                                    << 7.0;
}

void TestValueFormats::numberFromText()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(NumberFromText(text)), exact(expected));
}

void TestValueFormats::numberFromTextLongTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    constexpr qsizetype million = 1'000'000;
    QTest::newRow("million ones") << repeated('1', million) << kInf;
    QTest::newRow("million nines, negative") << u'-' + repeated('9', million) << -kInf;
    QTest::newRow("million zeros then 7") << repeated('0', million) + u'7' << 7.0;
    QTest::newRow("million blanks then 5") << repeated(' ', million) + u'5' << 5.0;
    QTest::newRow("tiny fraction") << u"0."_s + repeated('0', million - 1) + u'1' << 0.0;
    QTest::newRow("tiny fraction scaled up")
        << u"0."_s + repeated('0', million - 1) + u"1E1000000"_s << 1.0;
    QTest::newRow("huge integer scaled down")
        << u'1' + repeated('0', million) + u"E-1000000"_s << 1.0;
    QTest::newRow("million ones scaled down")
        << repeated('1', million) + u"E-999999"_s << 1.1111111111111112;

    // Ties only break correctly if digits far past the first few hundred still count.
    const QString tie = u"9007199254740993"_s + repeated('0', 1000);
    QTest::newRow("long tie") << tie + u"E-1000"_s << 9007199254740992.0;
    QTest::newRow("long tie broken at the end") << tie + u"1E-1001"_s << 9007199254740994.0;
    // A digit past the first 800 only nudges the value, however many zeros come before it.
    QTest::newRow("far digit after zeros") << u"0.5"_s + repeated('0', 800) + u'1' << 0.5;
    QTest::newRow("far digit after zeros, integer")
        << u'1' + repeated('0', 900) + u"1E-901"_s << 1.0;
    const QString halfSmallest = powerOfFive(1075);
    QTest::newRow("half the smallest subnormal") << halfSmallest + u"E-1075"_s << 0.0;
    QTest::newRow("half the smallest subnormal, and a bit")
        << halfSmallest + repeated('0', 100) + u"1E-1176"_s << 4.9e-324;

    QTest::newRow("exponent 1E18") << u"1E999999999999999999"_s << kInf;
    QTest::newRow("exponent -1E18") << u"1E-999999999999999999"_s << 0.0;
    QTest::newRow("exponent 1E29, negative") << u"-1E99999999999999999999999999999"_s << -kInf;
    QTest::newRow("zero with huge exponent") << u"0E999999999999999999"_s << 0.0;
    QTest::newRow("100k exponent digits") << u"1E"_s + repeated('9', 100'000) << kInf;
    QTest::newRow("100k negative exponent digits") << u"1E-"_s + repeated('9', 100'000) << 0.0;
    QTest::newRow("huge exponents cancelling")
        << u'1' + repeated('0', million) + u"E-999999999999999999"_s << 0.0;

    QTest::newRow("100k hex digits") << u"&H"_s + repeated('F', 100'000) << kInf;
    QTest::newRow("100k hex zeros then fF") << u"&H"_s + repeated('0', 100'000) + u"fF"_s << 255.0;
    QTest::newRow("100k octal digits") << u"&O"_s + repeated('7', 100'000) << kInf;
    QTest::newRow("100k octal zeros then 17") << u"&o"_s + repeated('0', 100'000) + u"17"_s << 15.0;
    QTest::newRow("53-bit hex") << u"&H1FFFFFFFFFFFFF"_s << 9007199254740991.0;
}

void TestValueFormats::numberFromTextLongTexts()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(NumberFromText(text)), exact(expected));
}

void TestValueFormats::numberFromTextEverySingleCodeUnit()
{
    for (int code = 0; code <= 0xFFFF; ++code) {
        const char16_t u = char16_t(code);
        const QChar c(u);
        const double digit = isAsciiDigit(u) ? u - u'0' : -1;

        const double alone = NumberFromText(QString(c));
        const double after = NumberFromText(QString(u'1' + QString(c)));
        const double before = NumberFromText(QString(c) + u'1');

        double expectedBefore = 0;
        if (digit >= 0)
            expectedBefore = digit * 10 + 1;
        else if (u == u' ' || u == u'\t' || u == u'\n' || u == u'+')
            expectedBefore = 1;
        else if (u == u'-')
            expectedBefore = -1;
        else if (u == u'.')
            expectedBefore = 0.1;

        const QByteArray where = "code unit " + QByteArray::number(code, 16);
        QVERIFY2(exact(alone) == exact(digit >= 0 ? digit : 0), where);
        QVERIFY2(exact(after) == exact(digit >= 0 ? 10 + digit : 1), where);
        QVERIFY2(exact(before) == exact(expectedBefore), where);
    }
}

void TestValueFormats::numberFromTextAgreesWithCLibrary()
{
    // The C library in the "C" locale reads the same longest-beginning form, with E only.
    QVERIFY(std::setlocale(LC_ALL, "C"));
    const QString alphabet = u"0123456789.+-eEdD "_s;
    QRandomGenerator random(20240517);
    for (int n = 0; n < 20000; ++n) {
        QString text;
        const int length = random.bounded(24);
        for (int k = 0; k < length; ++k)
            text += alphabet[random.bounded(int(alphabet.size()))];
        QByteArray plain = text.toLatin1();
        plain.replace(' ', "").replace('d', 'e').replace('D', 'E');
        const double expected = std::strtod(plain.constData(), nullptr);
        QVERIFY2(exact(NumberFromText(text)) == exact(expected), qPrintable(text));
    }
}

void TestValueFormats::hostileTextsGiveNumbers()
{
    QStringList texts;
    QString controls;
    for (char16_t u = 0; u < 0x20; ++u)
        controls += QChar(u);
    controls += QChar(0x7F);
    texts << controls << u"1"_s + controls << u"&H"_s + controls << u"1E"_s + controls;

    QRandomGenerator random(7);
    const QString alphabet = u"0123456789.+-eEdDhHoO& \t\n\r\u0660\u0669\uff10\xd800\xdc00"_s;
    for (int n = 0; n < 5000; ++n) {
        QString anyUnits;
        QString likely;
        const int length = random.bounded(64);
        for (int k = 0; k < length; ++k) {
            anyUnits += QChar(char16_t(random.bounded(0x10000)));
            likely += alphabet[random.bounded(int(alphabet.size()))];
        }
        texts << anyUnits << likely;
    }

    for (const QString &text : std::as_const(texts)) {
        QVERIFY(!std::isnan(NumberFromText(text)));
        QVERIFY(!std::isnan(DecimalBoxValue(text)));
        const int hex = HexBoxValue(text);
        QVERIFY(hex >= 0 && hex <= 255);
        QVERIFY(!DecimalText(NumberFromText(text)).isEmpty());
    }
}

void TestValueFormats::roundHalfEven_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<int>("expected");

    constexpr int max = std::numeric_limits<qint32>::max();
    constexpr int min = std::numeric_limits<qint32>::min();
    QTest::newRow("0.5") << 0.5 << 0;
    QTest::newRow("1.5") << 1.5 << 2;
    QTest::newRow("2.5") << 2.5 << 2;
    QTest::newRow("3.5") << 3.5 << 4;
    QTest::newRow("-0.5") << -0.5 << 0;
    QTest::newRow("-1.5") << -1.5 << -2;
    QTest::newRow("-2.5") << -2.5 << -2;
    QTest::newRow("2.4") << 2.4 << 2;
    QTest::newRow("2.6") << 2.6 << 3;
    QTest::newRow("-2.6") << -2.6 << -3;
    QTest::newRow("just below one half") << 0.49999999999999994 << 0;
    QTest::newRow("just below 2.5") << 2.4999999999999996 << 2;
    QTest::newRow("just above 2.5") << 2.5000000000000004 << 3;
    QTest::newRow("subnormal") << 4.9e-324 << 0;
    QTest::newRow("-0") << -0.0 << 0;
    QTest::newRow("largest") << 2147483647.0 << max;
    QTest::newRow("largest + 0.4") << 2147483647.4 << max;
    QTest::newRow("largest + 0.5") << 2147483647.5 << max;
    QTest::newRow("2^31") << 2147483648.0 << max;
    QTest::newRow("smallest") << -2147483648.0 << min;
    QTest::newRow("smallest + 0.5") << -2147483647.5 << min;
    QTest::newRow("smallest - 0.5") << -2147483648.5 << min;
    QTest::newRow("2^52 + 1") << 4503599627370497.0 << max;
    QTest::newRow("1E300") << 1e300 << max;
    QTest::newRow("-1E300") << -1e300 << min;
    QTest::newRow("inf") << kInf << max;
    QTest::newRow("-inf") << -kInf << min;
    QTest::newRow("NaN") << kNaN << 0;
}

void TestValueFormats::roundHalfEven()
{
    QFETCH(double, x);
    QFETCH(int, expected);
    QCOMPARE(RoundHalfEven(x), expected);
}

void TestValueFormats::roundHalfEvenIgnoresRoundingMode()
{
    const int saved = std::fegetround();
    const auto restore = qScopeGuard([saved] { std::fesetround(saved); });
    const double values[] = {
        0.5, 1.5, 2.5, -0.5, -1.5, -2.5, 2.4, 2.6, -2.4, -2.6, 0.49999999999999994};
    const int expected[] = {0, 2, 2, 0, -2, -2, 2, 3, -2, -3, 0};
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        QCOMPARE(std::fesetround(mode), 0);
        for (std::size_t k = 0; k < std::size(values); ++k)
            QCOMPARE(RoundHalfEven(values[k]), expected[k]);
    }
}

void TestValueFormats::decimalText_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0") << 0.0 << u" 0"_s;
    QTest::newRow("-0") << -0.0 << u" 0"_s;
    QTest::newRow("5") << 5.0 << u" 5"_s;
    QTest::newRow("255") << 255.0 << u" 255"_s;
    QTest::newRow("-5") << -5.0 << u"-5"_s;
    QTest::newRow("1000") << 1000.0 << u" 1000"_s;
    QTest::newRow("1.5") << 1.5 << u" 1.5"_s;
    QTest::newRow("0.5") << 0.5 << u" .5"_s;
    QTest::newRow("0.25") << 0.25 << u" .25"_s;
    QTest::newRow("-0.5") << -0.5 << u"-.5"_s;
    QTest::newRow("0.1") << 0.1 << u" .1"_s;
    QTest::newRow("0.1 + 0.2") << 0.1 + 0.2 << u" .3"_s;
    QTest::newRow("1/3") << 1.0 / 3 << u" .333333333333333"_s;
    QTest::newRow("2/3") << 2.0 / 3 << u" .666666666666667"_s;
    QTest::newRow("100.25") << 100.25 << u" 100.25"_s;
    QTest::newRow("-254.75") << -254.75 << u"-254.75"_s;
    QTest::newRow("rounds up to 1") << 0.9999999999999999 << u" 1"_s;

    // Positional from 1E-04 up to 15 integer digits, exponent form outside.
    QTest::newRow("1E14") << 1e14 << u" 100000000000000"_s;
    QTest::newRow("1E15 - 1") << 1e15 - 1 << u" 999999999999999"_s;
    QTest::newRow("15 digits rounded") << 123456789012345.6 << u" 123456789012346"_s;
    QTest::newRow("rounds up to 1E15") << 999999999999999.9 << u" 1E+15"_s;
    QTest::newRow("1E15") << 1e15 << u" 1E+15"_s;
    QTest::newRow("-1E15") << -1e15 << u"-1E+15"_s;
    QTest::newRow("1E20") << 1e20 << u" 1E+20"_s;
    QTest::newRow("2^64") << 18446744073709551616.0 << u" 1.84467440737096E+19"_s;
    QTest::newRow("1E100") << 1e100 << u" 1E+100"_s;
    QTest::newRow("largest") << 1.7976931348623157e308 << u" 1.79769313486232E+308"_s;
    QTest::newRow("1E-4") << 1e-4 << u" .0001"_s;
    QTest::newRow("0.000123456") << 0.000123456 << u" .000123456"_s;
    QTest::newRow("rounds up to 1E-4") << 9.999999999999999e-5 << u" .0001"_s;
    QTest::newRow("1E-5") << 1e-5 << u" 1E-05"_s;
    QTest::newRow("1.5E-7") << 1.5e-7 << u" 1.5E-07"_s;
    QTest::newRow("-1.5E-7") << -1.5e-7 << u"-1.5E-07"_s;
    QTest::newRow("1E-100") << 1e-100 << u" 1E-100"_s;
    QTest::newRow("smallest subnormal") << 4.9e-324 << u" 4.94065645841247E-324"_s;

    QTest::newRow("inf") << kInf << u" inf"_s;
    QTest::newRow("-inf") << -kInf << u"-inf"_s;
    QTest::newRow("NaN") << kNaN << u" nan"_s;
}

void TestValueFormats::decimalText()
{
    QFETCH(double, x);
    QFETCH(QString, expected);
    QCOMPARE(DecimalText(x), expected);
}

void TestValueFormats::decimalTextReadsBackUnchanged()
{
    // 15 significant digits survive text -> double -> text for every normal double.
    QRandomGenerator random(99);
    for (int n = 0; n < 20000; ++n) {
        const double x =
            (random.generateDouble() - 0.5) * std::pow(10.0, random.bounded(-300, 300));
        const QString text = DecimalText(x);
        QCOMPARE(DecimalText(NumberFromText(text)), text);
    }
}

void TestValueFormats::hexText_data()
{
    QTest::addColumn<double>("x");
    QTest::addColumn<QString>("expected");

    QTest::newRow("0") << 0.0 << u"0"_s;
    QTest::newRow("10") << 10.0 << u"A"_s;
    QTest::newRow("16") << 16.0 << u"10"_s;
    QTest::newRow("254") << 254.0 << u"FE"_s;
    QTest::newRow("255") << 255.0 << u"FF"_s;
    QTest::newRow("2.5") << 2.5 << u"2"_s;
    QTest::newRow("254.5") << 254.5 << u"FE"_s;
    QTest::newRow("255.5") << 255.5 << u"100"_s;
    QTest::newRow("-5") << -5.0 << u"FFFFFFFB"_s;
    QTest::newRow("-1") << -1.0 << u"FFFFFFFF"_s;
    QTest::newRow("-0.5") << -0.5 << u"0"_s;
    QTest::newRow("smallest") << -2147483648.0 << u"80000000"_s;
    QTest::newRow("below smallest") << -1e300 << u"80000000"_s;
    QTest::newRow("above largest") << 4294967295.0 << u"7FFFFFFF"_s;
    QTest::newRow("NaN") << kNaN << u"0"_s;
}

void TestValueFormats::hexText()
{
    QFETCH(double, x);
    QFETCH(QString, expected);
    QCOMPARE(HexText(x), expected);
}

void TestValueFormats::decimalBoxValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    QTest::newRow(" 254") << u" 254"_s << 254.0;
    QTest::newRow(" 2543") << u" 2543"_s << 43.0;
    QTest::newRow(" 256") << u" 256"_s << 56.0;
    QTest::newRow(" 255") << u" 255"_s << 255.0;
    QTest::newRow("1 255") << u"1 255"_s << 255.0;
    QTest::newRow(" 254x") << u" 254x"_s << 54.0;
    QTest::newRow(" 2.5") << u" 2.5"_s << 2.5;
    QTest::newRow("&HF") << u"&HF"_s << 15.0;
    QTest::newRow("&HFF") << u"&HFF"_s << 0.0;
    QTest::newRow("empty") << QString() << 0.0;
    QTest::newRow("abc") << u"abc"_s << 0.0;
    QTest::newRow(" 1 2") << u" 1 2"_s << 12.0;
    QTest::newRow("-5") << u"-5"_s << -5.0;
    QTest::newRow("-.5") << u"-.5"_s << -0.5;
    QTest::newRow(" 999") << u" 999"_s << 99.0;
    QTest::newRow("1E2") << u"1E2"_s << 100.0;
    QTest::newRow("1E400") << u"1E400"_s << 0.0;
    QTest::newRow("9E9") << u"9E9"_s << 0.0;
}

void TestValueFormats::decimalBoxValue()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(exact(DecimalBoxValue(text)), exact(expected));
}

void TestValueFormats::hexBoxValue_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("FE") << u"FE"_s << 254;
    QTest::newRow("FE7") << u"FE7"_s << 231;
    QTest::newRow("fe") << u"fe"_s << 254;
    QTest::newRow("F") << u"F"_s << 15;
    QTest::newRow("1G") << u"1G"_s << 1;
    QTest::newRow("EZ") << u"EZ"_s << 14;
    QTest::newRow("G") << u"G"_s << 0;
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("F blank") << u"F "_s << 15;
    QTest::newRow("tab A") << u"\tA"_s << 10;
    QTest::newRow("FFFFFFFB") << u"FFFFFFFB"_s << 251;
    QTest::newRow("&HFF") << u"&HFF"_s << 255;
    QTest::newRow("-1") << u"-1"_s << 0;
    QTest::newRow("fullwidth") << u"\uff21\uff22"_s << 0;
}

void TestValueFormats::hexBoxValue()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(HexBoxValue(text), expected);
}

void TestValueFormats::bitOf_data()
{
    QTest::addColumn<double>("v");
    QTest::addColumn<int>("line");
    QTest::addColumn<bool>("expected");

    QTest::newRow("1.5 bit 0") << 1.5 << 0 << false;
    QTest::newRow("1.5 bit 1") << 1.5 << 1 << true;
    QTest::newRow("2.5 bit 1") << 2.5 << 1 << true;
    QTest::newRow("0.6 bit 0") << 0.6 << 0 << true;
    QTest::newRow("255 bit 7") << 255.0 << 7 << true;
    QTest::newRow("127 bit 7") << 127.0 << 7 << false;
    QTest::newRow("256 bit 0") << 256.0 << 0 << false;
    QTest::newRow("256 bit 7") << 256.0 << 7 << false;
    QTest::newRow("-1 bit 7") << -1.0 << 7 << true;
    QTest::newRow("-2 bit 0") << -2.0 << 0 << false;
    QTest::newRow("-2 bit 1") << -2.0 << 1 << true;
    QTest::newRow("-inf bit 7") << -kInf << 7 << false;
    QTest::newRow("inf bit 7") << kInf << 7 << true;
    QTest::newRow("NaN bit 0") << kNaN << 0 << false;
}

void TestValueFormats::bitOf()
{
    QFETCH(double, v);
    QFETCH(int, line);
    QFETCH(bool, expected);
    QCOMPARE(BitOf(v, line), expected);
}

void TestValueFormats::valueFromBits_data()
{
    QTest::addColumn<QStringList>("captions");
    QTest::addColumn<QString>("mark");
    QTest::addColumn<double>("expected");

    const QStringList allIn(8, u"I"_s);
    QTest::newRow("line 0 out") << QStringList{u"O"_s, u"I"_s, u"I"_s, u"I"_s,
                                               u"I"_s, u"I"_s, u"I"_s, u"I"_s}
                                << u"I"_s << 254.0;
    QTest::newRow("all in") << allIn << u"I"_s << 255.0;
    QTest::newRow("all out") << QStringList(8, u"O"_s) << u"I"_s << 0.0;
    QTest::newRow("near misses") << QStringList{u"i"_s, u" I"_s, u""_s,  u"I "_s,
                                                u"1"_s, u"II"_s, u"O"_s, u"I"_s}
                                 << u"I"_s << 128.0;
    QTest::newRow("write values") << QStringList{u"1"_s, u"0"_s, u"1"_s, u"0"_s,
                                                 u"0"_s, u"0"_s, u"0"_s, u"1"_s}
                                  << u"1"_s << 133.0;
    QTest::newRow("other mark") << allIn << u"1"_s << 0.0;
    QTest::newRow("too few") << QStringList{u"I"_s, u"I"_s} << u"I"_s << 3.0;
    QTest::newRow("none") << QStringList() << u"I"_s << 0.0;
    QTest::newRow("too many") << QStringList(12, u"I"_s) << u"I"_s << 255.0;
}

void TestValueFormats::valueFromBits()
{
    QFETCH(QStringList, captions);
    QFETCH(QString, mark);
    QFETCH(double, expected);
    QCOMPARE(exact(ValueFromBits(captions, mark)), exact(expected));
}

void TestValueFormats::everyByteValueRoundTrips()
{
    for (int v = 0; v <= 255; ++v) {
        QCOMPARE(HexBoxValue(HexText(v)), v);
        QCOMPARE(HexBoxValue(HexText(-v)), -v & 0xFF);
        QCOMPARE(DecimalBoxValue(DecimalText(v)), double(v));
        QStringList captions;
        for (int line = 0; line < 8; ++line)
            captions << (BitOf(v, line) ? u"1"_s : u"0"_s);
        QCOMPARE(ValueFromBits(captions, u"1"), double(v));
    }
}

void TestValueFormats::localeDoesNotMatter()
{
    const QLocale savedDefault;
    const auto restore = qScopeGuard([savedDefault] {
        std::setlocale(LC_ALL, "C");
        QLocale::setDefault(savedDefault);
    });
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    bool commaLocale = false;
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "C.UTF-8"}) {
        if (std::setlocale(LC_ALL, name) && *std::localeconv()->decimal_point == ',') {
            commaLocale = true;
            break;
        }
    }
    if (!commaLocale)
        qInfo("No process locale with a decimal comma here; only QLocale's default is German");

    QCOMPARE(exact(NumberFromText(u"1.5")), exact(1.5));
    QCOMPARE(exact(NumberFromText(u"1,5")), exact(1.0));
    QCOMPARE(exact(NumberFromText(u"2.5E-3")), exact(2.5e-3));
    QCOMPARE(DecimalText(1.5), u" 1.5"_s);
    QCOMPARE(DecimalText(-1.5e-7), u"-1.5E-07"_s);
    QCOMPARE(DecimalText(1234567.0), u" 1234567"_s);
}

QTEST_APPLESS_MAIN(TestValueFormats)
#include "tst_valueformats.moc"
