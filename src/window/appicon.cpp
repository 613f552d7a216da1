#include "appicon.h"

#include <QPixmap>

#include "zarvex-test.xpm"

QIcon appIcon()
{
    return QIcon(QPixmap(zarvex_test_xpm));
}
