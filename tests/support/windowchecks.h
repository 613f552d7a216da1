// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class IoTestWindow;
class QTimer;

// Empty when every value of the window shows one number in all its views (bit captions,
// hexadecimal box, decimal box), the write bits are enabled exactly where the direction
// shows "I", and each pair of read boxes agrees; otherwise what disagrees.
QString viewMismatch(const IoTestWindow &window);

// The longest time the event loop went without turning since restart(): a blocked
// handler, such as a read-ports exchange waiting for its reply, shows up as one gap.
class LoopWatch : public QObject
{
    Q_OBJECT

public:
    explicit LoopWatch(QObject *parent = nullptr);

    void restart();
    qint64 longestGapMs() const;

private:
    QTimer *m_timer;
    QElapsedTimer m_sinceTurn;
    qint64 m_longest = 0;
};
