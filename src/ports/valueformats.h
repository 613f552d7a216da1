// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/valuerules.h"

#include <QString>
#include <QStringList>
#include <QStringView>

// Conversions between the numbers of the port boxes and their texts. All are total:
// any text or double gives a result, without exceptions, traps or NaN from text.

// Reads the number a text begins with, after dropping every blank, tab and line feed.
// "&H" and "&O" (either case) start hexadecimal and octal digits. Otherwise an optional
// sign, digits with an optional point and an exponent marked E or D; the point is the
// separator whatever the locale. A text not starting with a number gives 0. Too large
// a magnitude gives +-inf, too small +-0.
double NumberFromText(QStringView text);

// The number a port-number text names: rounded halves to even, 1..32767. Anything
// else (no digits, 0 or below, beyond 16 bits, not finite) names no port: 0.
int PortNumberFromText(QStringView text);

// " 5", "-5", " 1.5", " .5", up to 15 significant digits. Magnitudes of 1E+15 and above,
// or below 1E-04, take the form " 1.5E-07". Non-finite numbers print " inf", "-inf", " nan".
QString DecimalText(double x);

// RoundHalfEven of x in upper-case hexadecimal, without prefix; negative numbers as their
// 32-bit two's complement ("FFFFFFFB" for -5).
QString HexText(double x);

// Value of a decimal box: its last three characters, or its last two when those three
// read above 255. Not rounded.
double DecimalBoxValue(QStringView text);

// Value of a hexadecimal box: its last two characters as hexadecimal, rounded, low 8 bits.
int HexBoxValue(QStringView text);

// Whether bit `line` (0..7) is set in RoundHalfEven(v), two's complement for negatives.
bool BitOf(double v, int line);

// Sum of 2^i over the first eight captions that equal `mark` exactly; line 0 first.
double ValueFromBits(const QStringList &captions, QStringView mark);
