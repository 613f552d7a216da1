// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "controltable.h"

#include <QFont>

class QStyle;

// Whether a control's caption shows whole, unclipped, in the given font and style.
bool captionFits(const ControlDesign &item, const QFont &font, const QStyle *style);

// The window's font: a sans face close to the dialog font the layout was drawn for, at
// the largest size up to 8 points at which every caption of the table fits its control.
QFont windowFont(const QList<ControlDesign> &table, const QStyle *style);

// The struck-through font of the write-bit buttons.
QFont writeBitFont(const QFont &windowFont);
