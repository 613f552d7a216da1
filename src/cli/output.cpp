// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "output.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cerrno>

#include <unistd.h>

namespace {

// Every byte, whatever the pipe takes at a time; false when the reader is gone.
bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

void Output::text(const QString &line)
{
    write(line.toUtf8());
}

void Output::object(const QString &type, QJsonObject fields)
{
    fields.insert(QStringLiteral("version"), JsonVersion);
    fields.insert(QStringLiteral("type"), type);
    write(QJsonDocument(fields).toJson(QJsonDocument::Compact));
}

void Output::result(const QString &textLine, const QString &type, const QJsonObject &fields)
{
    if (m_json)
        object(type, fields);
    else
        text(textLine);
}

void Output::write(const QByteArray &line)
{
    if (m_broken)
        return;
    if (!writeAll(STDOUT_FILENO, line + '\n'))
        m_broken = true;
}

void Output::diagnostic(const QString &message)
{
    writeAll(STDERR_FILENO, "zarvex: " + message.toUtf8() + '\n');
}

QString localTimestamp(qint64 msSinceEpoch)
{
    const QDateTime now = msSinceEpoch < 0 ? QDateTime::currentDateTime()
                                           : QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    const int offset = now.offsetFromUtc();
    const int minutes = qAbs(offset) / 60;
    return now.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString showValues(const QList<Selector> &selectors, const std::array<quint8, 3> &inputs)
{
    QStringList parts;
    for (const Selector &selector : selectors)
        parts << selector.show(inputs);
    return parts.join(QLatin1Char(' '));
}

QJsonObject valuesObject(const QList<Selector> &selectors, const std::array<quint8, 3> &inputs)
{
    QJsonObject values;
    for (const Selector &selector : selectors)
        values.insert(selector.name(), selector.valueIn(inputs));
    return values;
}

QString bytesCame(qsizetype count)
{
    if (count == 0)
        return QStringLiteral("no byte came");
    return count == 1 ? QStringLiteral("1 byte came") : QStringLiteral("%1 bytes came").arg(count);
}
