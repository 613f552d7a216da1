// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>

class IoTestWindow;

// The child process of the start-up figures. It runs the utility through runUtility(), as
// main() does, with the link pointed at the parent's emulator. A probe, installed the moment
// the application object exists, notes when the window is first exposed, then works the
// window (connect, polls, bit clicks, Reset All, Continuous Poll), clicks Done and reports
// its peak resident memory on the way out.
//
// Lines written to stdout:
//   exposed <CLOCK_MONOTONIC ns>
//   peak-kib <VmHWM>
//   error <what went wrong>
class StartupProbe : public QObject
{
    Q_OBJECT

public:
    static int runChild(const QString &device, const char *program);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    explicit StartupProbe(QObject *parent);
    static void install();

    void work();
    bool expect(bool condition, const char *what);
    IoTestWindow *probedWindow() const;

    bool m_exposed = false;
    bool m_failed = false;
};
