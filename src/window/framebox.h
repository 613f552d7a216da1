// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QGroupBox>

// A frame that draws its caption on its top edge, over the border line, as the layout
// expects; styles that put the caption above the border would push it out of the frame.
class FrameBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit FrameBox(const QString &title, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
