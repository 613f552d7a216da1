// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "session/session.h"

#include <QString>

// The messages of the status line.
namespace StatusText {
inline constexpr char Connected[] = "Connected";
inline constexpr char CouldNotOpen[] = "Could Not Open That Port";
inline constexpr char ConnectFirst[] = "Please Click Connect First";
inline constexpr char ReadTimeout[] = "Read Timeout";
} // namespace StatusText

inline QString statusText(Notice notice)
{
    switch (notice) {
    case Notice::Connected:
        return QString::fromLatin1(StatusText::Connected);
    case Notice::CouldNotOpen:
        return QString::fromLatin1(StatusText::CouldNotOpen);
    case Notice::ConnectFirst:
        return QString::fromLatin1(StatusText::ConnectFirst);
    case Notice::ReadTimeout:
        return QString::fromLatin1(StatusText::ReadTimeout);
    }
    return {};
}
