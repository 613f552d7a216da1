// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// Paths as the port code takes them apart and follows them.
namespace PosixPaths {

// As the serial layer writes paths: no "." or "..", no doubled or trailing '/'.
std::string cleanPath(const std::string &path);
std::string fileName(const std::string &path);
// "." for a bare name, "/" for one in the root.
std::string dirName(const std::string &path);
bool isSymLink(const std::string &path);
bool exists(const std::string &path);
// Where a link points, as an absolute, clean path.
std::string symLinkTarget(const std::string &link);
// The path through every link, or empty when it leads nowhere.
std::string canonicalPath(const std::string &path);

} // namespace PosixPaths
