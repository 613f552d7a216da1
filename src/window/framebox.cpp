// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "framebox.h"

#include <QPainter>
#include <QStyle>
#include <qdrawutil.h>

FrameBox::FrameBox(const QString &title, QWidget *parent) : QGroupBox(title, parent) {}

void FrameBox::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const int titleHeight = fontMetrics().height();

    // An etched line, drawn here because some styles offset their group-box frame by
    // their own title margin.
    qDrawShadeRect(&painter, rect().adjusted(0, titleHeight / 2, 0, 0), palette(), true, 1);

    const QRect titleRect(6, 0, fontMetrics().horizontalAdvance(title()) + 4, titleHeight);
    painter.fillRect(titleRect, palette().window());
    style()->drawItemText(&painter, titleRect, Qt::AlignCenter, palette(), isEnabled(), title(),
                          QPalette::WindowText);
}
