// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "windowchecks.h"

#include "ports/textbox.h"
#include "ports/valueformats.h"
#include "window/iotestwindow.h"

#include <QPushButton>
#include <QStringList>
#include <QTimer>

namespace {

QString valueMismatch(const QString &what, const std::array<QPushButton *, 8> &bits,
                      const TextBox *dec, const TextBox *hex, const QString &set,
                      const QString &clear)
{
    int value = 0;
    QStringList captions;
    for (int line = 0; line < 8; ++line) {
        const QString caption = bits[line]->text();
        captions << caption;
        if (caption == set)
            value |= 1 << line;
        else if (caption != clear)
            return QStringLiteral("%1: bit %2 shows \"%3\"").arg(what).arg(line).arg(caption);
    }
    const double decValue = DecimalBoxValue(dec->text());
    // A decimal box keeps its design text (no blank) until a handler first rewrites it.
    const bool decShown = dec->text() == DecimalText(decValue) ||
                          dec->text() == QString::number(RoundHalfEven(decValue));
    if (hex->text() != HexText(value) || RoundHalfEven(decValue) != value || !decShown) {
        return QStringLiteral("%1: bits %2, hex \"%3\", dec \"%4\"")
            .arg(what, captions.join(QString()), hex->text(), dec->text());
    }
    return {};
}

} // namespace

QString viewMismatch(const IoTestWindow &window)
{
    for (const PortControls &port : window.ports()) {
        const QString name = QStringLiteral("port ") + QLatin1Char(portLetter(port.port));
        QString mismatch = valueMismatch(name + QStringLiteral(" direction"), port.directionBits,
                                         port.directionDec, port.directionHex, QStringLiteral("I"),
                                         QStringLiteral("O"));
        if (mismatch.isEmpty()) {
            mismatch = valueMismatch(name + QStringLiteral(" write"), port.writeBits, port.writeDec,
                                     port.writeHex, QStringLiteral("1"), QStringLiteral("0"));
        }
        if (!mismatch.isEmpty())
            return mismatch;
        for (int line = 0; line < 8; ++line) {
            const bool input = port.directionBits[line]->text() == QLatin1String("I");
            if (port.writeBits[line]->isEnabled() != input)
                return QStringLiteral("%1: write bit %2 enabled beside an \"%3\"")
                    .arg(name)
                    .arg(line)
                    .arg(input ? "I" : "O");
        }
        const QString readHex = port.readHex->text();
        const QString readDec = port.readDec->text();
        const bool bothEmpty = readHex.isEmpty() && readDec.isEmpty();
        const int readValue = HexBoxValue(readHex);
        if (!bothEmpty && (readHex != HexText(readValue) || readDec != DecimalText(readValue)))
            return QStringLiteral("%1: read boxes \"%2\" and \"%3\"").arg(name, readHex, readDec);
    }
    return {};
}

LoopWatch::LoopWatch(QObject *parent) : QObject(parent), m_timer(new QTimer(this))
{
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(5);
    connect(m_timer, &QTimer::timeout, this,
            [this] { m_longest = qMax(m_longest, m_sinceTurn.restart()); });
    restart();
    m_timer->start();
}

void LoopWatch::restart()
{
    m_longest = 0;
    m_sinceTurn.start();
}

qint64 LoopWatch::longestGapMs() const
{
    return qMax(m_longest, m_sinceTurn.elapsed());
}
