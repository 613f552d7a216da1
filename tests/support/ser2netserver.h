// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// A real ser2net on 127.0.0.1 serving one device, raw or RFC 2217, chardelay off, on a free
// port of its own. It runs in the foreground with a config of its own: no system config, no
// lock files, no pid file outside its temporary folder.
class Ser2netServer
{
public:
    enum class Mode { Raw, Rfc2217 };

    Ser2netServer() = default;
    ~Ser2netServer(); // stops it (SIGTERM, then SIGKILL), removes its config
    Ser2netServer(const Ser2netServer &) = delete;
    Ser2netServer &operator=(const Ser2netServer &) = delete;

    // Picks a free port and returns true once ser2net listens on it. Nothing connects to find
    // out: a probe connection makes ser2net open the device and, for a moment after it closes,
    // turn the next client away as busy.
    bool start(const QString &device, Mode mode, QString *error = nullptr);
    // Same device, mode and port, after kill().
    bool restart(QString *error = nullptr);
    // SIGKILL, like a crash; returns once the port is closed.
    void kill();

    quint16 port() const { return m_port; }
    // "rfc2217://127.0.0.1:N" / "socket://127.0.0.1:N"
    QString url() const;

    static QString program(); // empty when there is none
    static bool available() { return !program().isEmpty(); }

private:
    bool launch(QString *error);
    bool writeConfig(QString *error) const;
    bool listening() const;
    void stop();

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QString m_device;
    Mode m_mode = Mode::Raw;
    quint16 m_port = 0;
    bool m_portTaken = false; // by another program, before ser2net could bind it
};
