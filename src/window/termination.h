// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QApplication;
class QSocketNotifier;

// How the program ends when the user does not click Done. Whatever ends it, the port is
// released as Done releases it: line settings back, exclusive flag off, lock file removed.

// Makes the application object. When no platform plugin starts (no display, a display
// that does not answer, no such plugin), Qt's own warnings are dropped and the program
// ends here with one line on stderr and exit status 1, instead of Qt's advice to reinstall
// and an abort. Qt's warnings from a start that works are passed on as usual.
std::unique_ptr<QApplication> startApplication(int &argc, char **argv);

// SIGTERM, SIGINT and SIGHUP (the terminal that started us closed) run `ending` (Done, for
// the window) once, then the event loop ends; one that was ignored when the program started
// (nohup) stays ignored. The signals come through EndingSignals' pipe, watched by the event
// loop. One instance at a time; EndingSignals::endBy() then ends the process by the signal
// caught.
class SignalEnding : public QObject
{
    Q_OBJECT

public:
    explicit SignalEnding(std::function<void()> ending, QObject *parent = nullptr);
    ~SignalEnding() override;

    // The signal that ended the event loop, 0 if none did.
    int caught() const { return m_caught; }

private:
    void onSignal();

    std::function<void()> m_ending;
    QSocketNotifier *m_notifier = nullptr;
    int m_caught = 0;
};

// Qt's X11 support calls exit(1) when the connection to the X server breaks. While an
// instance lives, that exit runs `unload` first (the window's unload, unless it has already
// run). Destroy it before what `unload` touches.
class UnloadAtExit
{
public:
    explicit UnloadAtExit(std::function<void()> unload);
    ~UnloadAtExit();
    UnloadAtExit(const UnloadAtExit &) = delete;
    UnloadAtExit &operator=(const UnloadAtExit &) = delete;

private:
    std::function<void()> m_unload;
};
