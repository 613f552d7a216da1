// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <memory>

class QApplication;
class QSocketNotifier;
class IoTestWindow;

// How the program ends when the user does not click Done. Whatever ends it, the port is
// released as Done releases it: line settings back, exclusive flag off, lock file removed.

// Makes the application object. When no platform plugin starts (no display, a display
// that does not answer, no such plugin), Qt's own warnings are dropped and the program
// ends here with one line on stderr and exit status 1, instead of Qt's advice to reinstall
// and an abort. Qt's warnings from a start that works are passed on as usual.
std::unique_ptr<QApplication> startApplication(int &argc, char **argv);

// SIGTERM, SIGINT and SIGHUP (the terminal that started us closed) run Done: the window's
// unload, unless it has already run, then the event loop ends. The handlers only write the
// signal's number into a pipe that the event loop watches. One instance at a time.
class SignalEnding : public QObject
{
    Q_OBJECT

public:
    explicit SignalEnding(IoTestWindow &window, QObject *parent = nullptr);
    ~SignalEnding() override;

    // The signal that ended the event loop, 0 if none did.
    int caught() const { return m_caught; }

    // Ends the process by `signal` with its default action, the way a shell and a service
    // manager expect a signalled program to end, so they can tell it from an error exit.
    [[noreturn]] static void endBy(int signal);

private:
    void onSignal();

    IoTestWindow &m_window;
    QSocketNotifier *m_notifier = nullptr;
    int m_caught = 0;
};

// Qt's X11 support calls exit(1) when the connection to the X server breaks. While an
// instance lives, that exit runs the window's unload first, unless it has already run.
// Destroy it before the window.
class UnloadAtExit
{
public:
    explicit UnloadAtExit(IoTestWindow &window);
    ~UnloadAtExit();
    UnloadAtExit(const UnloadAtExit &) = delete;
    UnloadAtExit &operator=(const UnloadAtExit &) = delete;
};
