// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// The utility as main() runs it, with its link pointed at the device named on the command
// line, for tests that end it from outside (signals, a lost display). Once the event loop
// runs it clicks Connect and prints "connected", or "error <status line>" and exits 2. With
// "done" after the device it then clicks Done as well.
#include "session/session.h"
#include "window/iotestwindow.h"
#include "window/startup.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <string>

namespace {

std::string device;
bool clickDone = false;

void report(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    std::fflush(stdout);
}

void connectOnceRunning()
{
    QTimer::singleShot(0, qApp, [] {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *window = qobject_cast<IoTestWindow *>(widget);
            if (!window)
                continue;
            window->control<QPushButton>(QStringLiteral("Connect"))->click();
            if (window->session().portIsOpen() == 1) {
                report("connected");
                if (clickDone)
                    window->control<QPushButton>(QStringLiteral("Close"))->click();
            } else {
                report("error " +
                       window->control<QLabel>(QStringLiteral("StatusLabel"))->text().toUtf8());
                QCoreApplication::exit(2);
            }
            return;
        }
        report("error no window");
        QCoreApplication::exit(2);
    });
}

} // namespace

int main(int argc, char *argv[])
{
    clickDone = argc == 3 && qstrcmp(argv[2], "done") == 0;
    if (argc != 2 && !clickDone) {
        std::fputs("usage: zarvex-ending-child DEVICE [done]\n", stderr);
        return 2;
    }
    device = argv[1];
    // Runs inside QApplication's constructor; the timer fires once the window is shown.
    qAddPreRoutine(connectOnceRunning);

    int utilityArgc = 1;
    char *utilityArgv[] = {argv[0], nullptr};
    LinkOptions options;
    options.portNamer = [](int) { return device; };
    return runUtility(utilityArgc, utilityArgv, options);
}
