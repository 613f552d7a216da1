// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Texts between the program (UTF-8) and the Win32 API (UTF-16).
namespace WinText {

std::wstring wide(std::string_view text);
std::string narrow(std::wstring_view text);
// The system's text for a GetLastError() value, in one line, without the closing full stop.
std::string errorText(std::uint32_t error);

} // namespace WinText
