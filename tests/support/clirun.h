// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

// zarvex, the command-line program, run as a process of its own (ZARVEX_CLI, defined by each
// test that compiles this in), without ZARVEX_PORT or ZARVEX_BOARD from the environment.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QProcess;

struct Run
{
    int code = -1; // the exit status; -1 when it did not end normally
    QStringList out;
    QString err;
};

QStringList lines(const QByteArray &bytes);
// inChild runs in the child once its standard channels are set up and SIGINT, SIGTERM and
// SIGHUP are back to their defaults, right before zarvex starts: it may replace them (dup2,
// close, signal) and must be async-signal-safe.
QProcess *start(const QStringList &args, QObject *parent = nullptr,
                const std::function<void()> &inChild = {});
Run finish(QProcess &process, const QByteArray &input = {});
Run zarvex(const QStringList &args, const QByteArray &input = {});
// Waits for the next line a running zarvex prints: it flushes each one at once.
QString nextLine(QProcess &process);
