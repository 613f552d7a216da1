// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "ser2netserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// A port nobody listens on right now; 0 when none could be had.
quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

QString linkTarget(const QString &path)
{
    char target[256];
    const ssize_t size = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return size > 0 ? QString::fromLatin1(target, size) : QString();
}

} // namespace

Ser2netServer::~Ser2netServer()
{
    stop();
}

QString Ser2netServer::program()
{
    // /usr/sbin is not in every user's PATH.
    QString path = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            QStringLiteral("ser2net"),
            {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
    return path;
}

QString Ser2netServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2")
        .arg(m_mode == Mode::Rfc2217 ? QStringLiteral("rfc2217") : QStringLiteral("socket"))
        .arg(m_port);
}

bool Ser2netServer::start(const QString &device, Mode mode, QString *error)
{
    stop();
    if (!m_dir.isValid())
        return fail(error, QStringLiteral("no temporary folder for the config"));
    m_device = device;
    m_mode = mode;
    // Another program may take the port between our choosing it and ser2net binding it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        if (m_port == 0)
            return fail(error, QStringLiteral("no free port on 127.0.0.1"));
        if (launch(error))
            return true;
        if (!m_portTaken)
            return false;
    }
    return false;
}

bool Ser2netServer::restart(QString *error)
{
    if (m_port == 0)
        return fail(error, QStringLiteral("restart before start"));
    stop();
    return launch(error);
}

void Ser2netServer::kill()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(m_process->processId()), SIGKILL);
    m_process->waitForFinished(5000);
}

bool Ser2netServer::writeConfig(QString *error) const
{
    const QString accepter =
        m_mode == Mode::Rfc2217 ? QStringLiteral("telnet(rfc2217),tcp") : QStringLiteral("tcp");
    QFile file(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(error, file.fileName() + QStringLiteral(": ") + file.errorString());
    file.write(QStringLiteral("connection: &board\n"
                              "  accepter: %1,127.0.0.1,%2\n"
                              "  connector: serialdev,%3,9600n81,local\n"
                              "  options:\n"
                              "    chardelay: false\n"
                              "    mdns: false\n")
                   .arg(accepter)
                   .arg(m_port)
                   .arg(m_device)
                   .toUtf8());
    return file.flush();
}

bool Ser2netServer::launch(QString *error)
{
    m_portTaken = false;
    const QString path = program();
    if (path.isEmpty())
        return fail(error, QStringLiteral("ser2net is not installed"));
    if (!writeConfig(error))
        return false;
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // -n -d: in the foreground; -u: no lock files, which a kill would leave behind.
    m_process->start(path, {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-u"),
                            QStringLiteral("-c"), m_dir.filePath(QStringLiteral("ser2net.yaml")),
                            QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
    if (!m_process->waitForStarted(5000))
        return fail(error, path + QStringLiteral(": ") + m_process->errorString());
    QByteArray output;
    QElapsedTimer timer;
    timer.start();
    while (!listening()) {
        m_process->waitForReadyRead(10);
        output += m_process->readAll();
        // ser2net keeps running without the port it could not bind.
        m_portTaken = output.contains("Address already in use");
        if (m_portTaken || m_process->state() == QProcess::NotRunning || timer.hasExpired(5000)) {
            stop();
            return fail(error, QStringLiteral("ser2net does not listen on 127.0.0.1:%1: %2")
                                   .arg(m_port)
                                   .arg(QString::fromLocal8Bit(output.trimmed())));
        }
    }
    return true;
}

// Our ser2net holds a listening socket on the port: the kernel takes connections from now on.
bool Ser2netServer::listening() const
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QString local = QStringLiteral(":%1").arg(m_port, 4, 16, QLatin1Char('0')).toUpper();
    QString inode;
    table.readLine();
    while (!table.atEnd() && inode.isEmpty()) {
        const QStringList fields =
            QString::fromLatin1(table.readLine()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() > 9 && fields[1].endsWith(local) && fields[3] == QLatin1String("0A"))
            inode = fields[9];
    }
    if (inode.isEmpty())
        return false;
    const QString socket = QStringLiteral("socket:[%1]").arg(inode);
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(m_process->processId()));
    for (const QString &fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        if (linkTarget(fds.filePath(fd)) == socket)
            return true;
    }
    return false;
}

void Ser2netServer::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000))
            kill();
    }
    m_process.reset();
}
