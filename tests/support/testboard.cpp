// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "testboard.h"

#include "device/portname.h"

#include <QFile>
#include <QThread>

TestBoard::TestBoard(int portNumber) : m_portNumber(portNumber) {}

bool TestBoard::start()
{
    QString error;
    if (!m_dir.isValid() || !m_board.start(&error)) {
        qWarning("board emulator did not start: %s", qPrintable(error));
        return false;
    }
    QFile::remove(linkPath());
    return QFile::link(m_board.devicePath(), linkPath());
}

void TestBoard::unplug()
{
    m_board.hangUp();
    QFile::remove(linkPath());
}

QString TestBoard::linkPath() const
{
    return m_dir.filePath(QStringLiteral("com%1").arg(m_portNumber));
}

std::function<std::string(int)> TestBoard::namer() const
{
    const std::string dir = m_dir.path().toStdString();
    return [dir](int number) { return systemPortName(number, dir); };
}

QByteArray TestBoard::receivedExactly(qsizetype count, int settleMs)
{
    m_board.waitForReceived(count, 2000);
    QThread::msleep(ulong(settleMs));
    return m_board.received();
}

QByteArray TestBoard::receivedWhenQuiet(int quietMs)
{
    qsizetype before = -1;
    QByteArray now = m_board.received();
    while (now.size() != before) {
        before = now.size();
        QThread::msleep(ulong(quietMs));
        now = m_board.received();
    }
    return now;
}

QString hexBytes(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString hexBytes(const std::string &bytes)
{
    return hexBytes(QByteArray::fromStdString(bytes));
}

std::unique_ptr<SerialLink> linkTo(const QString &path)
{
    PortTarget target;
    target.kind = PortTarget::Kind::Path;
    target.path = path.toStdString();
    return makeLink(target);
}
