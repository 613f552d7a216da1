// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "output.h"

#include "interrupts.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include <unistd.h>

namespace {

enum class Written { All, ReaderGone, Failed, Interrupted };

// Every byte, in pieces a pipe takes without blocking once poll() says it has room, so that a
// signal is never stuck behind a reader that stopped reading.
Written writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        if (!Interrupts::waitWritable(fd))
            return Written::Interrupted;
        const auto piece = std::min<qsizetype>(bytes.size() - done, PIPE_BUF);
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(piece));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return errno == EPIPE ? Written::ReaderGone : Written::Failed;
        if (n == 0) {
            errno = EIO;
            return Written::Failed;
        }
        done += n;
    }
    return Written::All;
}

} // namespace

bool Output::isOpen() const
{
    return !m_broken && !m_failed && !Interrupts::readerGone();
}

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

void Output::setHolding(bool holding)
{
    m_holding = holding;
    if (!holding)
        flush();
}

void Output::flush()
{
    if (!m_held.isEmpty())
        writeNow(std::exchange(m_held, {}));
}

qint64 Output::heldForMs() const
{
    return m_held.isEmpty() ? 0 : m_heldSince.elapsed();
}

void Output::write(const QByteArray &line)
{
    if (!m_holding) {
        writeNow(line + '\n');
        return;
    }
    if (m_held.isEmpty())
        m_heldSince.start();
    m_held += line + '\n';
    if (m_held.size() >= HeldBytesLimit)
        flush();
}

void Output::writeNow(const QByteArray &bytes)
{
    if (!isOpen())
        return;
    const Written written = writeAll(STDOUT_FILENO, bytes);
    const int error = errno;
    switch (written) {
    case Written::All:
        break;
    case Written::Interrupted: // zarvex is ending; a line cut short is not followed by others
    case Written::ReaderGone:
        m_broken = true;
        break;
    case Written::Failed:
        m_failed = true;
        diagnostic(QStringLiteral("cannot write the results: %1").arg(qt_error_string(error)));
        break;
    }
}

void Output::diagnostic(const QString &message)
{
    writeAll(STDERR_FILENO, "zarvex: " + message.toUtf8() + '\n');
}

QString localTimestamp(qint64 msSinceEpoch)
{
    const QDateTime local = msSinceEpoch < 0 ? QDateTime::currentDateTime()
                                             : QDateTime::fromMSecsSinceEpoch(msSinceEpoch);
    // In a zone of the local offset rather than as an offset: Qt writes a zero offset as "Z".
    return local.toTimeZone(QTimeZone(local.offsetFromUtc())).toString(Qt::ISODateWithMs);
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
