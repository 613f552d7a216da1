// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "devicelink.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <unistd.h>

QString DeviceLink::obstacle() const
{
    const QFileInfo existing(m_path);
    if (!existing.exists() && !existing.isSymLink())
        return {};
    const QString target = existing.symLinkTarget();
    if (!existing.isSymLink() || !target.startsWith(QLatin1String("/dev/pts/")))
        return QStringLiteral("%1 exists and is not a link to a pty; not touching it").arg(m_path);
    // A pty exists exactly as long as a program holds its master.
    if (m_replace == Replace::StalePty && existing.exists())
        return QStringLiteral("%1 links to %2, a pty another program serves; not replacing it")
            .arg(m_path, target);
    return {};
}

bool DeviceLink::create(const QString &target, QString *error)
{
    if (const QString refusal = obstacle(); !refusal.isEmpty()) {
        *error = refusal;
        return false;
    }
    // Made beside the final name and renamed over it, so the path never goes missing.
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray temporary = path + ".new." + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0 ||
        ::rename(temporary.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot create link %1: %2").arg(m_path, qt_error_string(errno));
        ::unlink(temporary.constData());
        return false;
    }
    m_target = target;
    return true;
}

void DeviceLink::remove()
{
    if (m_target.isEmpty())
        return;
    if (QFileInfo(m_path).symLinkTarget() == m_target)
        QFile::remove(m_path);
    m_target.clear();
}
