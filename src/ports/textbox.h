// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QLineEdit>

// A single-line text box with the Change rule the editing handlers are built on:
// - setText() to a different text runs change() at once, inside the call;
// - setText() to the text already shown runs nothing;
// - an edit by the user (typing, deleting, pasting, undo, an assistive tool) runs change()
//   once, after the new text is in place;
// - any length is taken whole: no limit cuts a long paste.
// Handlers connect to change(); nothing else in the program listens to textChanged().
class TextBox : public QLineEdit
{
    Q_OBJECT

public:
    explicit TextBox(QWidget *parent = nullptr);

    void setText(const QString &text);

    // Insertion point as a character offset; a position beyond the end means the end.
    // Setting it leaves nothing selected.
    int caretPosition() const { return cursorPosition(); }
    void setCaretPosition(int position);

signals:
    void change();

private:
    bool m_settingText = false;
};
