// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "startup.h"

#include "appinfo.h"
#include "iotestwindow.h"
#include "termination.h"

#include "common/endingsignals.h"

#include <QApplication>

int runUtility(int &argc, char **argv, const LinkOptions &options)
{
    int status = 0;
    int signal = 0;
    {
        const std::unique_ptr<QApplication> app = startApplication(argc, argv);
        applyAppInfo();

        IoTestWindow window(options);
        QObject::connect(&window, &IoTestWindow::ended, app.get(),
                         [] { QCoreApplication::exit(0); });
        // Done's unload, however the program ends, unless Done already ran it.
        const UnloadAtExit unloadAtExit([&window] {
            if (window.unloadCount() == 0) {
                qint16 cancel = 0;
                window.Form_Unload(cancel);
            }
        });
        const SignalEnding signalEnding([&window] {
            if (window.unloadCount() == 0)
                window.Close_Click();
        });
        window.show();
        status = app->exec();
        signal = signalEnding.caught();
    }
    if (signal != 0)
        EndingSignals::endBy(signal);
    return status;
}
