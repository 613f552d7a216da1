// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "windowtest.h"

#include "ports/textbox.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

bool WindowTest::openWindow()
{
    m_board = std::make_unique<TestBoard>(3);
    if (!m_board->start())
        return false;
    m_window = std::make_unique<IoTestWindow>(m_board->options());
    m_window->show();
    return QTest::qWaitForWindowExposed(m_window.get());
}

void WindowTest::closeWindow()
{
    m_window.reset();
    m_board.reset();
}

bool WindowTest::connectBoard()
{
    click(QStringLiteral("Connect"));
    static const QByteArray resetCommands = QByteArray::fromHex("2141FF2142FF2143FF"
                                                                "410042004300");
    const bool reset = m_board->receivedExactly(resetCommands.size()) == resetCommands;
    m_board->board().clearReceived();
    return reset;
}

void WindowTest::click(const QString &name, int index)
{
    QTest::mouseClick(m_window->control(name, index), Qt::LeftButton);
}

QPushButton *WindowTest::button(const QString &name, int index) const
{
    return m_window->control<QPushButton>(name, index);
}

TextBox *WindowTest::box(const QString &name) const
{
    return m_window->control<TextBox>(name);
}

QString WindowTest::status() const
{
    return m_window->control<QLabel>(QStringLiteral("StatusLabel"))->text();
}

void WindowTest::setStatus(const QString &text)
{
    m_window->control<QLabel>(QStringLiteral("StatusLabel"))->setText(text);
}
