// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The bytes every suite expects on the wire, as hexBytes() writes them.

// The reset state: set-direction A, B, C to FF, then write-port A, B, C with 00.
inline const QString resetCommands = QStringLiteral("21 41 FF 21 42 FF 21 43 FF 41 00 42 00 43 00");
// The read-ports command.
inline const QString readPortsCommand = QStringLiteral("61 62 63");
