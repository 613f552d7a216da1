// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "startup.h"

#include "appinfo.h"
#include "iotestwindow.h"
#include "termination.h"

#include <QApplication>

int runUtility(int &argc, char **argv, const LinkFactory &makeLink)
{
    int status = 0;
    int signal = 0;
    {
        const std::unique_ptr<QApplication> app = startApplication(argc, argv);
        applyAppInfo();

        IoTestWindow window(makeLink ? makeLink() : nullptr);
        QObject::connect(&window, &IoTestWindow::ended, app.get(),
                         [] { QCoreApplication::exit(0); });
        const UnloadAtExit unloadAtExit(window);
        const SignalEnding signalEnding(window);
        window.show();
        status = app->exec();
        signal = signalEnding.caught();
    }
    if (signal != 0)
        SignalEnding::endBy(signal);
    return status;
}
