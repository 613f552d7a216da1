// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/port.h"

#include <QCommandLineOption>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>

// How zarvex ends, for scripts.
enum class ExitCode : int {
    Success = 0,
    ConditionFalse = 1, // wait timed out, expect mismatched, a probe found no board
    Usage = 2,          // bad command line; nothing was opened
    CannotOpen = 3,
    NoAnswer = 4, // the board did not answer within the reply deadline
    PortLost = 5,
    WriteFailed = 6, // the results could not be written (a full disk, not a closed pipe)
};

// Each parser returns nothing and sets *error to a message that names the offending text and
// what is allowed.

// 90, 0x5A, 0b01011010: 0 to 255.
std::optional<quint8> parseValue(QStringView text, QString *error);
// A, B or C, either case.
std::optional<Port> parsePort(QStringView text, QString *error);
// 250ms, 2s, 1m, or a bare number of milliseconds.
std::optional<qint64> parseDuration(QStringView text, QString *error);
// A port number the way the window names ports: 1 to 32767, digits only.
std::optional<int> parsePortNumber(QStringView text, QString *error);

// A whole port ("A") or one of its lines ("A.3").
struct Selector
{
    Port port = Port::A;
    int line = -1; // -1: the whole port

    bool isLine() const { return line >= 0; }
    QString name() const;
    int valueIn(const std::array<quint8, 3> &inputs) const;
    // "A=0x5A" or "A.3=1"
    QString show(const std::array<quint8, 3> &inputs) const;
    bool operator==(const Selector &) const = default;
};
std::optional<Selector> parseSelector(QStringView text, QString *error);
// No selector means A, B and C.
std::optional<QList<Selector>> parseSelectors(const QStringList &texts, QString *error);

// A=0x5A, A.3=1 or A&0x0F=0x05.
struct Condition
{
    Selector target;
    quint8 mask = 0xFF; // the bits of target.port that are compared
    quint8 value = 0;   // what they must read, within mask
    QString text;       // as given

    bool holds(const std::array<quint8, 3> &inputs) const;
};
std::optional<Condition> parseCondition(QStringView text, QString *error);

// Which register an assignment loads.
enum class Register { Direction, Write };

// PORT=VALUE, or LINE=BIT. Directions also take "in" (0xFF, a line 1) and "out" (0x00, 0).
struct Assignment
{
    Selector target;
    quint8 value = 0; // the port's value, or the line's bit
    QString text;     // as given
};
std::optional<Assignment> parseAssignment(Register reg, QStringView text, QString *error);

// What a run of commands knows of the board's registers: only what it loaded itself, since
// the board cannot report them.
class KnownRegisters
{
public:
    std::optional<quint8> value(Register reg, Port port) const;
    void set(Register reg, Port port, quint8 value);
    void reset();
    // The whole-port value an assignment loads, or nothing (and *error) when it sets one line of
    // a register not known.
    std::optional<quint8> resolve(Register reg, const Assignment &assignment, QString *error) const;

private:
    std::array<std::optional<quint8>, 3> m_direction;
    std::array<std::optional<quint8>, 3> m_write;
};

// "0x5A"
QString hexByte(int value);
// "250ms", "2s"
QString durationText(qint64 ms);

// The options and positional arguments of a command line or a batch line, as QCommandLineParser
// finds them, but strict: an unknown option, an option given twice or a value missing is an
// error. "--" ends the options.
struct ParsedOptions
{
    QStringList positional;
    QHash<QString, QString> values; // by the option's first name ("p", "timeout"), flags empty

    bool has(const QString &name) const { return values.contains(name); }
    QString value(const QString &name) const { return values.value(name); }
};
std::optional<ParsedOptions> parseOptions(const QStringList &args,
                                          const QList<QCommandLineOption> &options, QString *error);

// The condition options shared by wait and expect, and their parsed form.
struct ConditionSet
{
    QList<Condition> conditions;
    bool any = false;
    int stable = 1;
    std::optional<qint64> timeoutMs; // nothing: forever
    qint64 intervalMs = 100;

    bool holds(const std::array<quint8, 3> &inputs) const;
    QList<Selector> operands() const;
};
// wait: --timeout is required; expect: no --timeout, --stable or --interval.
// --interval D of wait and watch, at least 1ms; fallbackMs when it is not given.
std::optional<qint64> parseInterval(const ParsedOptions &options, qint64 fallbackMs,
                                    QString *error);
std::optional<ConditionSet> parseConditionSet(const ParsedOptions &options, bool isWait,
                                              QString *error);
