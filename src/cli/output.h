// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "arguments.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

// Results go to standard output, one line each, written at once so that a pipe sees every line
// when it happens: plain text, or with --json one JSON object a line. Diagnostics go to standard
// error as one line "zarvex: ...". After a signal, a full standard output is waited for only
// while its reader keeps reading: then the line is dropped, never the signal.
class Output
{
public:
    static constexpr int JsonVersion = 1;

    explicit Output(bool json) : m_json(json) {}

    bool json() const { return m_json; }
    // False once standard output is gone (the reader of a pipe ended) or failed; nothing more
    // is written.
    bool isOpen() const;
    // A write failed other than by the reader going away; said once on standard error.
    bool failed() const { return m_failed; }

    void text(const QString &line);
    // Adds "version" and "type".
    void object(const QString &type, QJsonObject fields);
    // The one of the two that --json chose.
    void result(const QString &textLine, const QString &type, const QJsonObject &fields);

    static void diagnostic(const QString &message);

    // While holding, lines wait (up to HeldBytesLimit) until flush(), so that the replies to
    // commands already waiting in a batch's input leave together, in one write.
    void setHolding(bool holding);
    void flush();
    // How long the oldest line held has waited; 0 when none is.
    qint64 heldForMs() const;

private:
    static constexpr qsizetype HeldBytesLimit = 4096;

    void write(const QByteArray &line);
    void writeNow(const QByteArray &bytes);

    bool m_json;
    bool m_broken = false;
    bool m_failed = false;
    bool m_holding = false;
    QByteArray m_held;
    QElapsedTimer m_heldSince;
};

// A moment (now, or ms since the epoch) in local time, to the millisecond, with the offset from
// UTC: 2026-12-08T19:40:01.123+01:00
QString localTimestamp(qint64 msSinceEpoch = -1);

// "A=0x5A A.3=1", and as JSON {"A": 90, "A.3": 1}
QString showValues(const QList<Selector> &selectors, const std::array<quint8, 3> &inputs);
QJsonObject valuesObject(const QList<Selector> &selectors, const std::array<quint8, 3> &inputs);

// "no byte came", "1 byte came", "4 bytes came"
QString bytesCame(qsizetype count);
