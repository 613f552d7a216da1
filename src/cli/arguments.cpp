// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "arguments.h"

#include <QCommandLineParser>

#include <algorithm>

namespace {

// Longest duration accepted: what a signed 32-bit count of milliseconds holds (24.8 days).
constexpr qint64 LongestDurationMs = 2147483647;

bool isDigits(QStringView text, int base)
{
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        const bool ok = base == 2    ? (c == u'0' || c == u'1')
                        : base == 10 ? c.isDigit() && c.unicode() < 128
                                     : QStringView(u"0123456789abcdefABCDEF").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

// Digits of the given base as a number, saturating just above `limit`.
qint64 digitsValue(QStringView digits, int base, qint64 limit)
{
    qint64 value = 0;
    for (const QChar c : digits) {
        const int digit = c.isDigit() ? c.digitValue() : c.toLower().unicode() - 'a' + 10;
        value = value * base + digit;
        if (value > limit)
            return limit + 1;
    }
    return value;
}

QString quoted(QStringView text)
{
    return QLatin1Char('"') + text.toString() + QLatin1Char('"');
}

std::optional<int> parseBit(QStringView text, QString *error)
{
    if (text == u"0" || text == u"1")
        return text == u"1" ? 1 : 0;
    *error = QStringLiteral("bad line value %1: a line is 0 or 1").arg(quoted(text));
    return std::nullopt;
}

QString registerName(Register reg)
{
    return reg == Register::Direction ? QStringLiteral("direction") : QStringLiteral("write");
}

} // namespace

std::optional<quint8> parseValue(QStringView text, QString *error)
{
    const QString allowed = QStringLiteral(
        "a value is 0 to 255: decimal (90), hexadecimal (0x5A) or binary (0b01011010)");
    int base = 10;
    QStringView digits = text;
    if (text.startsWith(u"0x", Qt::CaseInsensitive)) {
        base = 16;
        digits = text.mid(2);
    } else if (text.startsWith(u"0b", Qt::CaseInsensitive)) {
        base = 2;
        digits = text.mid(2);
    }
    if (!isDigits(digits, base)) {
        *error = QStringLiteral("bad value %1: %2").arg(quoted(text), allowed);
        return std::nullopt;
    }
    if (base == 10 && digits.size() > 1 && digits.front() == u'0') {
        *error = QStringLiteral("bad value %1: a decimal value has no leading zeros (0x5A is "
                                "hexadecimal, 0b01011010 binary)")
                     .arg(quoted(text));
        return std::nullopt;
    }
    const qint64 value = digitsValue(digits, base, 255);
    if (value > 255) {
        *error = QStringLiteral("value %1 is out of range: %2").arg(quoted(text), allowed);
        return std::nullopt;
    }
    return quint8(value);
}

std::optional<Port> parsePort(QStringView text, QString *error)
{
    if (text.size() == 1) {
        if (const auto port = portFromLetter(text.front().toUpper().toLatin1()))
            return port;
    }
    *error = QStringLiteral("bad port %1: a port is A, B or C").arg(quoted(text));
    return std::nullopt;
}

std::optional<qint64> parseDuration(QStringView text, QString *error)
{
    qint64 unit = 1;
    QStringView digits = text;
    if (text.endsWith(u"ms")) {
        digits.chop(2);
    } else if (text.endsWith(u's')) {
        unit = 1000;
        digits.chop(1);
    } else if (text.endsWith(u'm')) {
        unit = 60 * 1000;
        digits.chop(1);
    }
    if (!isDigits(digits, 10)) {
        *error = QStringLiteral("bad duration %1: expected a whole number with ms, s or m "
                                "(250ms, 2s, 1m); a bare number is milliseconds")
                     .arg(quoted(text));
        return std::nullopt;
    }
    const qint64 count = digitsValue(digits, 10, LongestDurationMs);
    if (count > LongestDurationMs / unit) {
        *error = QStringLiteral("duration %1 is too long: at most %2 ms")
                     .arg(quoted(text))
                     .arg(LongestDurationMs);
        return std::nullopt;
    }
    return count * unit;
}

std::optional<int> parsePortNumber(QStringView text, QString *error)
{
    const qint64 number = isDigits(text, 10) ? digitsValue(text, 10, 32767) : 0;
    if (number < 1 || number > 32767 || text.front() == u'0') {
        *error = QStringLiteral("bad port number %1: a port number is a whole number from 1 "
                                "to 32767")
                     .arg(quoted(text));
        return std::nullopt;
    }
    return int(number);
}

QString Selector::name() const
{
    const QString letter(QLatin1Char(portLetter(port)));
    return isLine() ? QStringLiteral("%1.%2").arg(letter).arg(line) : letter;
}

int Selector::valueIn(const std::array<quint8, 3> &inputs) const
{
    const int value = inputs[portIndex(port)];
    return isLine() ? (value >> line) & 1 : value;
}

QString Selector::show(const std::array<quint8, 3> &inputs) const
{
    const int value = valueIn(inputs);
    return name() + QLatin1Char('=') + (isLine() ? QString::number(value) : hexByte(value));
}

std::optional<Selector> parseSelector(QStringView text, QString *error)
{
    const QString allowed = QStringLiteral("expected a port A, B, C or a line A.0 to C.7");
    const auto port =
        text.isEmpty() ? std::nullopt : portFromLetter(text.front().toUpper().toLatin1());
    if (port && text.size() == 1)
        return Selector{*port, -1};
    if (port && text.size() == 3 && text[1] == u'.' && text[2] >= u'0' && text[2] <= u'7')
        return Selector{*port, text[2].unicode() - '0'};
    *error = QStringLiteral("bad port or line %1: %2").arg(quoted(text), allowed);
    return std::nullopt;
}

std::optional<QList<Selector>> parseSelectors(const QStringList &texts, QString *error)
{
    QList<Selector> selectors;
    for (const QString &text : texts) {
        const auto selector = parseSelector(text, error);
        if (!selector)
            return std::nullopt;
        if (!selectors.contains(*selector))
            selectors << *selector;
    }
    if (selectors.isEmpty()) {
        for (const Port port : BoardPorts)
            selectors << Selector{port, -1};
    }
    return selectors;
}

bool Condition::holds(const std::array<quint8, 3> &inputs) const
{
    return (inputs[portIndex(target.port)] & mask) == value;
}

std::optional<Condition> parseCondition(QStringView text, QString *error)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        *error = QStringLiteral("bad condition %1: expected PORT=VALUE (A=0x5A), LINE=BIT "
                                "(A.3=1) or PORT&MASK=VALUE (A&0x0F=0x05)")
                     .arg(quoted(text));
        return std::nullopt;
    }
    const QStringView left = text.left(equals);
    const QStringView right = text.mid(equals + 1);
    Condition condition;
    condition.text = text.toString();

    const qsizetype ampersand = left.indexOf(u'&');
    const auto selector = parseSelector(ampersand < 0 ? left : left.left(ampersand), error);
    if (!selector)
        return std::nullopt;
    condition.target = *selector;
    if (selector->isLine()) {
        if (ampersand >= 0) {
            *error = QStringLiteral("bad condition %1: a mask applies to a whole port "
                                    "(A&0x0F=0x05)")
                         .arg(quoted(text));
            return std::nullopt;
        }
        const auto bit = parseBit(right, error);
        if (!bit)
            return std::nullopt;
        condition.mask = quint8(1u << selector->line);
        condition.value = quint8(*bit << selector->line);
        return condition;
    }
    if (ampersand >= 0) {
        const auto mask = parseValue(left.mid(ampersand + 1), error);
        if (!mask)
            return std::nullopt;
        condition.mask = *mask;
    }
    const auto value = parseValue(right, error);
    if (!value)
        return std::nullopt;
    if ((*value & ~condition.mask) != 0) {
        *error = QStringLiteral("condition %1 can never hold: %2 has bits outside the mask %3")
                     .arg(quoted(text), hexByte(*value), hexByte(condition.mask));
        return std::nullopt;
    }
    condition.value = *value;
    return condition;
}

std::optional<Assignment> parseAssignment(Register reg, QStringView text, QString *error)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        *error = reg == Register::Direction
                     ? QStringLiteral("bad direction %1: expected PORT=VALUE (A=0xF0, A=in, "
                                      "A=out) or LINE=in|out (A.3=out)")
                           .arg(quoted(text))
                     : QStringLiteral("bad write %1: expected PORT=VALUE (A=0x5A) or LINE=BIT "
                                      "(A.3=1)")
                           .arg(quoted(text));
        return std::nullopt;
    }
    const auto selector = parseSelector(text.left(equals), error);
    if (!selector)
        return std::nullopt;
    Assignment assignment{*selector, 0, text.toString()};
    const QStringView right = text.mid(equals + 1);
    if (reg == Register::Direction && right.compare(u"in", Qt::CaseInsensitive) == 0) {
        assignment.value = selector->isLine() ? 1 : 0xFF;
        return assignment;
    }
    if (reg == Register::Direction && right.compare(u"out", Qt::CaseInsensitive) == 0) {
        assignment.value = 0;
        return assignment;
    }
    const std::optional<int> value =
        selector->isLine() ? parseBit(right, error) : std::optional<int>(parseValue(right, error));
    if (!value)
        return std::nullopt;
    assignment.value = quint8(*value);
    return assignment;
}

std::optional<quint8> KnownRegisters::value(Register reg, Port port) const
{
    return (reg == Register::Direction ? m_direction : m_write)[portIndex(port)];
}

void KnownRegisters::set(Register reg, Port port, quint8 value)
{
    (reg == Register::Direction ? m_direction : m_write)[portIndex(port)] = value;
}

void KnownRegisters::reset()
{
    m_direction.fill(quint8(0xFF));
    m_write.fill(quint8(0));
}

std::optional<quint8> KnownRegisters::resolve(Register reg, const Assignment &assignment,
                                              QString *error) const
{
    const Selector &target = assignment.target;
    if (!target.isLine())
        return assignment.value;
    const auto known = value(reg, target.port);
    if (!known) {
        const QChar letter = QLatin1Char(portLetter(target.port));
        *error = QStringLiteral("%1 sets one line, but the other lines of port %2's %3 register "
                                "are not known (the board cannot report them): set the whole "
                                "port first (%2=0x.. before it on the same command line, or "
                                "reset or %2=0x.. earlier in the same batch)")
                     .arg(quoted(assignment.text), letter, registerName(reg));
        return std::nullopt;
    }
    const quint8 bit = quint8(1u << target.line);
    return quint8(assignment.value ? (*known | bit) : (*known & ~bit));
}

QString hexByte(int value)
{
    // Every reading prints up to three of these: no formatting machinery for four characters.
    static constexpr char Digits[] = "0123456789ABCDEF";
    const char text[] = {'0', 'x', Digits[(value >> 4) & 0xF], Digits[value & 0xF]};
    return QString::fromLatin1(text, sizeof text);
}

QString durationText(qint64 ms)
{
    if (ms > 0 && ms % 60000 == 0)
        return QStringLiteral("%1m").arg(ms / 60000);
    if (ms > 0 && ms % 1000 == 0)
        return QStringLiteral("%1s").arg(ms / 1000);
    return QStringLiteral("%1ms").arg(ms);
}

std::optional<ParsedOptions> parseOptions(const QStringList &args,
                                          const QList<QCommandLineOption> &options, QString *error)
{
    // Most batch lines have no option at all; they need no parser (a batch reads thousands a
    // second).
    if (std::none_of(args.cbegin(), args.cend(),
                     [](const QString &arg) { return arg.startsWith(QLatin1Char('-')); }))
        return ParsedOptions{args, {}};
    // QCommandLineParser takes --p for -p: a one-letter option has one dash.
    for (const QString &arg : args) {
        if (arg == QLatin1String("--"))
            break;
        if (arg.startsWith(QLatin1String("--")) && arg.size() > 2 &&
            arg.section(QLatin1Char('='), 0, 0).size() == 3) {
            *error = QStringLiteral("unknown option %1").arg(arg.left(3));
            return std::nullopt;
        }
    }
    QCommandLineParser parser;
    parser.addOptions(options);
    // The first argument is taken for the program's name.
    const bool parsed = parser.parse(QStringList{QString()} + args);
    const auto dashed = [](const QString &name) {
        return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    };
    if (!parser.unknownOptionNames().isEmpty()) {
        *error = QStringLiteral("unknown option %1")
                     .arg(dashed(parser.unknownOptionNames().constFirst()));
        return std::nullopt;
    }
    ParsedOptions found;
    // Each name as given, in order, also when the same option comes again.
    for (const QString &name : parser.optionNames()) {
        const auto option =
            std::find_if(options.cbegin(), options.cend(),
                         [&](const QCommandLineOption &o) { return o.names().contains(name); });
        const QString key = option->names().constFirst();
        if (found.has(key)) {
            *error = QStringLiteral("%1 is given twice").arg(dashed(name));
            return std::nullopt;
        }
        const QStringList values = parser.values(*option);
        if (!option->valueName().isEmpty() && values.isEmpty()) {
            *error = QStringLiteral("%1 needs a value").arg(dashed(name));
            return std::nullopt;
        }
        found.values.insert(key, values.value(0));
    }
    if (!parsed) {
        // A value given to an option that takes none, which the parser's message names.
        *error = parser.errorText();
        if (error->endsWith(QLatin1Char('.')))
            error->chop(1);
        if (!error->isEmpty())
            error->front() = error->front().toLower();
        return std::nullopt;
    }
    found.positional = parser.positionalArguments();
    return found;
}

bool ConditionSet::holds(const std::array<quint8, 3> &inputs) const
{
    const auto holdsHere = [&](const Condition &condition) { return condition.holds(inputs); };
    return any ? std::any_of(conditions.cbegin(), conditions.cend(), holdsHere)
               : std::all_of(conditions.cbegin(), conditions.cend(), holdsHere);
}

QList<Selector> ConditionSet::operands() const
{
    QList<Selector> selectors;
    for (const Condition &condition : conditions) {
        if (!selectors.contains(condition.target))
            selectors << condition.target;
    }
    return selectors;
}

std::optional<ConditionSet> parseConditionSet(const ParsedOptions &options, bool isWait,
                                              QString *error)
{
    ConditionSet set;
    if (options.positional.isEmpty()) {
        *error = QStringLiteral("no condition given: expected e.g. A=0x5A, A.3=1 or "
                                "A&0x0F=0x05");
        return std::nullopt;
    }
    for (const QString &text : options.positional) {
        const auto condition = parseCondition(text, error);
        if (!condition)
            return std::nullopt;
        set.conditions << *condition;
    }
    set.any = options.has(QStringLiteral("any"));
    if (!isWait)
        return set;

    if (!options.has(QStringLiteral("timeout"))) {
        *error = QStringLiteral("wait needs --timeout D (250ms, 2s, 1m) or --timeout forever");
        return std::nullopt;
    }
    const QString timeout = options.value(QStringLiteral("timeout"));
    if (timeout != QLatin1String("forever")) {
        const auto ms = parseDuration(timeout, error);
        if (!ms)
            return std::nullopt;
        set.timeoutMs = *ms;
    }
    if (options.has(QStringLiteral("stable"))) {
        const QString text = options.value(QStringLiteral("stable"));
        const qint64 stable = isDigits(text, 10) ? digitsValue(text, 10, 1000000) : 0;
        if (stable < 1 || stable > 1000000) {
            *error = QStringLiteral("bad --stable %1: a number of samples, 1 to 1000000")
                         .arg(quoted(text));
            return std::nullopt;
        }
        set.stable = int(stable);
    }
    const auto interval = parseInterval(options, set.intervalMs, error);
    if (!interval)
        return std::nullopt;
    set.intervalMs = *interval;
    return set;
}

std::optional<qint64> parseInterval(const ParsedOptions &options, qint64 fallbackMs, QString *error)
{
    if (!options.has(QStringLiteral("interval")))
        return fallbackMs;
    const auto ms = parseDuration(options.value(QStringLiteral("interval")), error);
    if (ms && *ms < 1) {
        *error = QStringLiteral("--interval must be at least 1ms");
        return std::nullopt;
    }
    return ms;
}
