// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "ptyboard.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// The emulated board as the Qt tests speak to it: paths as QString, bytes as QByteArray.
// Everything else is PtyBoard's own.
class QtPtyBoard : public PtyBoard
{
public:
    using QtLogHandler = std::function<void(const QString &line)>;

    bool start(QString *error = nullptr)
    {
        std::string why;
        const bool started = PtyBoard::start(&why);
        if (error)
            *error = QString::fromStdString(why);
        return started;
    }
    QString devicePath() const { return QString::fromStdString(PtyBoard::devicePath()); }
    QByteArray received() const { return QByteArray::fromStdString(PtyBoard::received()); }
    bool waitForReceived(qsizetype count, int timeoutMs)
    {
        return PtyBoard::waitForReceived(std::size_t(count), timeoutMs);
    }
    void inject(const QByteArray &bytes)
    {
        PtyBoard::inject(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    }
    void setLogHandler(QtLogHandler handler)
    {
        if (!handler) {
            PtyBoard::setLogHandler({});
            return;
        }
        PtyBoard::setLogHandler([handler = std::move(handler)](const std::string &line) {
            handler(QString::fromStdString(line));
        });
    }
};
