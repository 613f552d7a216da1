// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "devicelink.h"

#include "device/systemerror.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include <unistd.h>

namespace {

constexpr int TemporaryNameTries = 100;

// The folder a path names its file in: "." for a bare name, "/" for one in the root.
std::string folderOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool exists(const std::string &path)
{
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0;
}

bool isDir(const std::string &path)
{
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool isSymLink(const std::string &path)
{
    struct stat status = {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// "/dev/./pts//3" and "/dev/x/../pts/3" name "/dev/pts/3", as a link's target is compared.
std::string cleanPath(const std::string &path)
{
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= path.size();) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        const std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::string clean;
    for (const std::string &part : parts)
        clean += '/' + part;
    return clean.empty() ? "/" : clean;
}

// Where a symbolic link points, as an absolute path; empty when `path` is no link.
std::string symLinkTarget(const std::string &path)
{
    std::vector<char> buffer(PATH_MAX);
    const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || std::size_t(length) >= buffer.size())
        return {};
    std::string target(buffer.data(), std::size_t(length));
    if (target.front() != '/') {
        std::string folder = folderOf(path);
        if (folder.front() != '/') {
            std::vector<char> cwd(PATH_MAX);
            if (!::getcwd(cwd.data(), cwd.size()))
                return {};
            folder = std::string(cwd.data()) + '/' + folder;
        }
        target = folder + '/' + target;
    }
    return cleanPath(target);
}

std::string randomSuffix()
{
    static std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t value = generator();
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36]);
        value /= 36;
    } while (value != 0);
    return digits;
}

} // namespace

std::optional<DeviceLink::Identity> DeviceLink::identity(const std::string &path)
{
    struct stat status = {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
        return std::nullopt;
    return Identity{status.st_dev, status.st_ino, status.st_ctim.tv_sec, status.st_ctim.tv_nsec};
}

std::string DeviceLink::misplaced() const
{
    const std::string folder = folderOf(m_path);
    if (!isDir(folder))
        return "cannot create link " + m_path + ": no folder " + folder;
    return {};
}

std::string DeviceLink::obstacle()
{
    m_stale.reset();
    const std::string refused = refusal({});
    if (refused.empty() && !exists(m_path))
        m_stale = identity(m_path);
    return refused;
}

std::string DeviceLink::refusal(const std::string &ours) const
{
    if (::access(folderOf(m_path).c_str(), W_OK | X_OK) != 0)
        return "cannot create link " + m_path + ": " + systemErrorText(errno);
    const bool link = isSymLink(m_path);
    if (!link && !exists(m_path))
        return {};
    const std::string target = symLinkTarget(m_path);
    if (!link || !target.starts_with("/dev/pts/"))
        return m_path + " exists and is not a link to a pty; not touching it";
    if (m_replace == Replace::AnyPty || target == ours || !exists(m_path))
        return {};
    // A pty exists exactly as long as a program holds its master. One that was gone when
    // obstacle() looked may have been given out again since.
    if (m_stale && identity(m_path) == m_stale)
        return {};
    return m_path + " links to " + target + ", a pty another program serves; not replacing it";
}

bool DeviceLink::create(const std::string &target, std::string *error)
{
    if (const std::string refused = refusal(target); !refused.empty()) {
        *error = refused;
        return false;
    }
    // Made beside the final name and renamed over it, so the path never goes missing. A
    // symlink() never replaces anything: a name that is taken is somebody else's file.
    std::string temporary;
    bool made = false;
    for (int tries = 0; !made && tries < TemporaryNameTries; ++tries) {
        temporary = m_path + ".new." + randomSuffix();
        made = ::symlink(target.c_str(), temporary.c_str()) == 0;
        if (!made && errno != EEXIST)
            break;
    }
    if (!made || ::rename(temporary.c_str(), m_path.c_str()) != 0) {
        *error = "cannot create link " + m_path + ": " + systemErrorText(errno);
        if (made)
            ::unlink(temporary.c_str());
        return false;
    }
    m_target = target;
    m_stale.reset();
    return true;
}

void DeviceLink::remove()
{
    if (m_target.empty())
        return;
    if (symLinkTarget(m_path) == m_target)
        ::unlink(m_path.c_str());
    m_target.clear();
}
