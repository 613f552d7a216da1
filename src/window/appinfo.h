// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>

// The program's own 32 x 32, 16-colour icon.
QIcon appIcon();

// Names the running application: product name, version 1.00, desktop entry and icon.
void applyAppInfo();

// "Zarvex Test Program using VCP Driver".
QString appDescription();
