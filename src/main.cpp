#include "version.h"
#include "window/appicon.h"
#include "window/iotestwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(ZARVEX_PRODUCT_NAME));
    QApplication::setApplicationVersion(QStringLiteral(ZARVEX_VERSION_TEXT));
    QApplication::setDesktopFileName(QStringLiteral("zarvex-test"));
    QApplication::setWindowIcon(appIcon());

    IoTestWindow window;
    QObject::connect(&window, &IoTestWindow::ended, &app, [] { QCoreApplication::exit(0); });
    window.show();
    return app.exec();
}
