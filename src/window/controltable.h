// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QList>
#include <QString>

// The design of the window: every control with its name, array index, container,
// caption or initial text, geometry and tab position. Geometry is in twips (1/1440 inch;
// 15 twips are one pixel at 96 dpi); a control in a frame is placed relative to the
// frame's outer top-left corner.
enum class ControlKind { Label, TextBox, Button, CheckBox, Frame };

struct ControlDesign
{
    QString name;
    int index = -1; // position in its control array; -1 for a single control
    ControlKind kind = ControlKind::Label;
    QString container; // empty for the window itself, else "Frame1" or "Frame2"
    QString text;      // caption, or the initial text of a text box
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int tabIndex = 0;
    QString description;        // what an assistive tool reads out besides the caption
    bool struckThrough = false; // the write-bit buttons' font
    bool buttonFace = false;    // read boxes sit on the button-face colour
};

namespace Design {
inline constexpr char WindowName[] = "IOTEST";
inline constexpr char WindowCaption[] = "Zarvex VB Test Utility";
inline constexpr int ClientWidth = 7410;
inline constexpr int ClientHeight = 5985;
inline constexpr int TimerIntervalMs = 100;
inline constexpr char WriteBitFontFamily[] = "MS Sans Serif";
inline constexpr double WriteBitFontPointSize = 8.25;
} // namespace Design

constexpr int twipsToPixels(int twips)
{
    return twips / 15;
}

const QList<ControlDesign> &controlTable();
