// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
// Opens a port as the window and zarvex open it, holds it a while and closes it, noting both in
// a log that several of these share: for the tests that race processes for one device.
//   zarvex-claim-child DEVICE LOG HOLD_MS
// Appends "+PID" once the port is open and "-PID" just before closing it, each with one write
// of its own. Exits 0 when it had the port, 3 when it was refused (the reason on stderr).
#include "device/qtseriallink.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool note(int log, char mark)
{
    const QByteArray line = mark + QByteArray::number(::getpid()) + '\n';
    return ::write(log, line.constData(), size_t(line.size())) == line.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    const int log = ::open(QFile::encodeName(args[2]).constData(),
                           O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log < 0)
        return 2;

    QtSerialLink link(nullptr, [device = args[1]](int) { return device; });
    if (const std::optional<OpenRefusal> refusal = link.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(refusal->text()));
        return 3;
    }
    const bool noted = note(log, '+');
    QThread::msleep(args[3].toULong());
    const bool closing = note(log, '-');
    link.close();
    return noted && closing ? 0 : 2;
}
