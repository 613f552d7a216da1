// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/porttarget.h"
#include "qtptyboard.h"

#include <QTemporaryDir>

#include <memory>

// The board emulator on a real pseudo-terminal, reachable as port number `portNumber`
// through a private device folder: <tmp>/com<N> links to the pty, exactly as a udev
// rule links /dev/com<N> to a USB board. Nothing outside the temporary folder is touched.
class TestBoard
{
public:
    explicit TestBoard(int portNumber = 3);

    bool start();
    // The board is unplugged: its pty hangs up and, as udev would, its com<N> link goes.
    // A link left dangling could come to name a stranger's pty once the number is reused.
    void unplug();
    QtPtyBoard &board() { return m_board; }
    int portNumber() const { return m_portNumber; }
    QString devDir() const { return m_dir.path(); }

    // How the application's link names ports here.
    std::function<std::string(int)> namer() const;
    LinkOptions options() const { return {namer(), {}}; }
    // A link to this board's port number, as the window makes it.
    std::unique_ptr<SerialLink> newLink() const
    {
        return makeLink(PortTarget::fromNumber(m_portNumber), options());
    }

    // Waits until exactly `count` bytes have arrived and returns them; on a timeout returns
    // what arrived. Gives late extra bytes a moment to show up, so "exactly" means it.
    QByteArray receivedExactly(qsizetype count, int settleMs = 50);
    // Waits until nothing more has arrived for quietMs and returns what arrived.
    QByteArray receivedWhenQuiet(int quietMs = 50);

private:
    QString linkPath() const;

    QTemporaryDir m_dir;
    QtPtyBoard m_board;
    int m_portNumber;
};

// Hex dump "21 41 FF 41 00" for readable comparisons.
QString hexBytes(const QByteArray &bytes);
QString hexBytes(const std::string &bytes);

// A link to the device at path, as zarvex makes one for a path.
std::unique_ptr<SerialLink> linkTo(const QString &path);
