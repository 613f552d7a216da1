// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "paths.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PosixPaths {

std::string cleanPath(const std::string &path)
{
    // As std::filesystem's lexically_normal(), without a trailing '/'.
    const bool absolute = !path.empty() && path.front() == '/';
    std::vector<std::string_view> parts;
    for (size_t at = 0; at <= path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string_view part(path.data() + at, end - at);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string clean = absolute ? "/" : "";
    for (const std::string_view part : parts) {
        if (!clean.empty() && clean != "/")
            clean += '/';
        clean += part;
    }
    return clean.empty() ? std::string(".") : clean;
}

std::string fileName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool isSymLink(const std::string &path)
{
    struct stat st
    {
    };
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool exists(const std::string &path)
{
    struct stat st
    {
    };
    return ::stat(path.c_str(), &st) == 0;
}

std::string symLinkTarget(const std::string &link)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length <= 0)
        return {};
    target.resize(size_t(length));
    if (target.front() != '/')
        target = dirName(link) + "/" + target;
    return cleanPath(target);
}

std::string canonicalPath(const std::string &path)
{
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string result(resolved);
    ::free(resolved);
    return result;
}

} // namespace PosixPaths
