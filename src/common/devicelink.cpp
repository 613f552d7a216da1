// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "devicelink.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>

#include <unistd.h>

namespace {

constexpr int TemporaryNameTries = 100;

} // namespace

std::optional<DeviceLink::Identity> DeviceLink::identity(const QString &path)
{
    struct stat status = {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISLNK(status.st_mode))
        return std::nullopt;
    return Identity{status.st_dev, status.st_ino, status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

QString DeviceLink::misplaced() const
{
    const QString folder = QFileInfo(m_path).path();
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("cannot create link %1: no folder %2").arg(m_path, folder);
    return {};
}

QString DeviceLink::obstacle()
{
    m_stale.reset();
    const QString refused = refusal({});
    if (refused.isEmpty() && !QFileInfo::exists(m_path))
        m_stale = identity(m_path);
    return refused;
}

QString DeviceLink::refusal(const QString &ours) const
{
    const QFileInfo existing(m_path);
    if (::access(QFile::encodeName(existing.path()).constData(), W_OK | X_OK) != 0) {
        const int failure = errno;
        return QStringLiteral("cannot create link %1: %2").arg(m_path, qt_error_string(failure));
    }
    if (!existing.exists() && !existing.isSymLink())
        return {};
    const QString target = existing.symLinkTarget();
    if (!existing.isSymLink() || !target.startsWith(QLatin1String("/dev/pts/")))
        return QStringLiteral("%1 exists and is not a link to a pty; not touching it").arg(m_path);
    if (m_replace == Replace::AnyPty || target == ours || !existing.exists())
        return {};
    // A pty exists exactly as long as a program holds its master. One that was gone when
    // obstacle() looked may have been given out again since.
    if (m_stale && identity(m_path) == m_stale)
        return {};
    return QStringLiteral("%1 links to %2, a pty another program serves; not replacing it")
        .arg(m_path, target);
}

bool DeviceLink::create(const QString &target, QString *error)
{
    if (const QString refused = refusal(target); !refused.isEmpty()) {
        *error = refused;
        return false;
    }
    // Made beside the final name and renamed over it, so the path never goes missing. A
    // symlink() never replaces anything: a name that is taken is somebody else's file.
    const QByteArray path = QFile::encodeName(m_path);
    const QByteArray pointsTo = QFile::encodeName(target);
    QByteArray temporary;
    bool made = false;
    for (int tries = 0; !made && tries < TemporaryNameTries; ++tries) {
        temporary =
            path + ".new." + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        made = ::symlink(pointsTo.constData(), temporary.constData()) == 0;
        if (!made && errno != EEXIST)
            break;
    }
    if (!made || ::rename(temporary.constData(), path.constData()) != 0) {
        *error = QStringLiteral("cannot create link %1: %2").arg(m_path, qt_error_string(errno));
        if (made)
            ::unlink(temporary.constData());
        return false;
    }
    m_target = target;
    m_stale.reset();
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
