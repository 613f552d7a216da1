#include "window/appinfo.h"
#include "window/iotestwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    applyAppInfo();

    IoTestWindow window;
    QObject::connect(&window, &IoTestWindow::ended, &app, [] { QCoreApplication::exit(0); });
    window.show();
    return app.exec();
}
