// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "clirun.h"

#include <QProcess>

#include <csignal>

QStringList lines(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QProcess *start(const QStringList &args, QObject *parent, const std::function<void()> &inChild)
{
    auto *process = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("ZARVEX_PORT"));
    environment.remove(QStringLiteral("ZARVEX_BOARD"));
    process->setProcessEnvironment(environment);
    // A test run as a background job or under nohup would otherwise pass its ignored signals
    // on, and zarvex keeps those ignored.
    process->setChildProcessModifier([inChild] {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            ::signal(signal, SIG_DFL);
        if (inChild)
            inChild();
    });
    process->start(QStringLiteral(ZARVEX_CLI), args);
    return process;
}

Run finish(QProcess &process, const QByteArray &input)
{
    process.write(input);
    process.closeWriteChannel();
    Run run;
    if (!process.waitForFinished(20000))
        process.kill();
    process.waitForFinished();
    if (process.exitStatus() == QProcess::NormalExit)
        run.code = process.exitCode();
    run.out = lines(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

Run zarvex(const QStringList &args, const QByteArray &input)
{
    QProcess *process = start(args);
    const Run run = finish(*process, input);
    delete process;
    return run;
}

QString nextLine(QProcess &process)
{
    while (!process.canReadLine() && process.waitForReadyRead(5000)) {
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}
