// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "testboard.h"
#include "window/iotestwindow.h"

#include <QObject>

#include <memory>

class QPushButton;
class TextBox;

// Base of the suites that drive the real window against the board emulator on port 3.
// Each test starts from a fresh board and a freshly shown window.
class WindowTest : public QObject
{
protected:
    // Call from init(): false when the board or the window did not come up.
    bool openWindow();
    // Call from cleanup(): the window goes first, so its port closes before the pty.
    void closeWindow();
    // Clicks Connect and waits for the reset's six commands; the board's record then
    // starts afresh. False unless exactly those bytes arrived.
    bool connectBoard();

    void click(const QString &name, int index = -1);
    QPushButton *button(const QString &name, int index = -1) const;
    TextBox *box(const QString &name) const;
    QString status() const;
    void setStatus(const QString &text);

    std::unique_ptr<TestBoard> m_board;
    std::unique_ptr<IoTestWindow> m_window;
};
