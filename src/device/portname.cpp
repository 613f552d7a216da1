#include "portname.h"

#include <QFileInfo>

QString systemPortName(int number, const QString &devDir)
{
    if (number < 1)
        return {};
#ifdef Q_OS_WIN
    Q_UNUSED(devDir);
    return QStringLiteral("COM%1").arg(number);
#else
    const QString link = devDir + QStringLiteral("/com%1").arg(number);
    // A dangling comN still names its board (unplugged right now): opening it fails
    // rather than silently falling back to a UART that happens to share the number.
    const QFileInfo info(link);
    if (info.exists() || info.isSymLink())
        return link;
    return devDir + QStringLiteral("/ttyS%1").arg(number - 1);
#endif
}
