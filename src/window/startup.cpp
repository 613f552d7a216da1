#include "startup.h"

#include "appinfo.h"
#include "iotestwindow.h"

#include <QApplication>

int runUtility(int &argc, char **argv, const LinkFactory &makeLink)
{
    QApplication app(argc, argv);
    applyAppInfo();

    IoTestWindow window(makeLink ? makeLink() : nullptr);
    QObject::connect(&window, &IoTestWindow::ended, &app, [] { QCoreApplication::exit(0); });
    window.show();
    return app.exec();
}
