// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "windowfont.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QStyle>

bool captionFits(const ControlDesign &item, const QFont &font, const QStyle *style)
{
    const QFontMetrics metrics(font);
    const int width = twipsToPixels(item.width);
    const int height = twipsToPixels(item.height);
    const int textWidth = metrics.horizontalAdvance(item.text);
    const int textHeight = metrics.height();

    switch (item.kind) {
    case ControlKind::Label:
        return textWidth <= width && textHeight <= height;
    case ControlKind::Button:
        // Leave room for the bevel on both sides.
        return textWidth + 4 <= width && textHeight + 2 <= height;
    case ControlKind::CheckBox:
        return style->pixelMetric(QStyle::PM_IndicatorWidth) +
                       style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing) + textWidth <=
                   width &&
               textHeight <= height;
    case ControlKind::Frame:
        return textWidth + 16 <= width;
    case ControlKind::TextBox:
        return textHeight + 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth) + 2 <= height &&
               textWidth + 8 <= width;
    }
    return false;
}

QFont windowFont(const QList<ControlDesign> &table, const QStyle *style)
{
    QFont font = QApplication::font();
    // Faces with the widths of the dialog font the layout was drawn for come first.
    const QStringList families = QFontDatabase::families();
    for (const char *candidate : {"Liberation Sans", "Arial", "Nimbus Sans", "Helvetica"}) {
        if (families.contains(QLatin1String(candidate))) {
            font.setFamilies({QString::fromLatin1(candidate)});
            break;
        }
    }
    font.setBold(false);
    font.setItalic(false);

    for (double points = 8.0; points >= 6.0; points -= 0.25) {
        font.setPointSizeF(points);
        bool allFit = true;
        for (const ControlDesign &item : table) {
            if (!item.struckThrough && !captionFits(item, font, style)) {
                allFit = false;
                break;
            }
        }
        if (allFit)
            return font;
    }
    return font; // the smallest tried; smaller would no longer be readable
}

QFont writeBitFont(const QFont &windowFont)
{
    QFont font(windowFont);
    // The named face is rarely installed outside Windows; fall back to the window's face
    // at the same size.
    font.setFamilies({QString::fromLatin1(Design::WriteBitFontFamily), windowFont.family()});
    font.setPointSizeF(Design::WriteBitFontPointSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(true);
    return font;
}
