// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "appinfo.h"

#include "version.h"

#include <QGuiApplication>
#include <QPixmap>

#include "zarvex-test.xpm"

QIcon appIcon()
{
    return QIcon(QPixmap(zarvex_test_xpm));
}

void applyAppInfo()
{
    QCoreApplication::setApplicationName(QStringLiteral(ZARVEX_PRODUCT_NAME));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZARVEX_VERSION_TEXT));
    QGuiApplication::setDesktopFileName(QStringLiteral("zarvex-test"));
    QGuiApplication::setWindowIcon(appIcon());
}

QString appDescription()
{
    return QStringLiteral(ZARVEX_FILE_DESCRIPTION);
}
