// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "textbox.h"

#include <QScopedValueRollback>

#include <limits>

TextBox::TextBox(QWidget *parent) : QLineEdit(parent)
{
    // No length limit: a paste of any length stays whole, so a box is read by its end.
    setMaxLength(std::numeric_limits<int>::max());
    // Every text change that does not come through setText() below is the user's.
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (!m_settingText)
            emit change();
    });
}

void TextBox::setText(const QString &text)
{
    const QString before = QLineEdit::text();
    {
        QScopedValueRollback guard(m_settingText, true);
        QLineEdit::setText(text);
    }
    if (QLineEdit::text() != before)
        emit change();
}

void TextBox::setCaretPosition(int position)
{
    setCursorPosition(qBound(0, position, int(text().size())));
}
