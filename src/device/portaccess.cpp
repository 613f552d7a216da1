// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "portaccess.h"

#include <cstdint>
#include <string>

namespace {

// The serial layer treats a lock it cannot read as stale after this long.
constexpr std::int64_t UnreadableLockSeconds = 30;

std::string describedProcess(std::int64_t pid, const std::string &name)
{
    return name.empty() ? "process " + std::to_string(pid)
                        : "process " + std::to_string(pid) + " (" + name + ")";
}

} // namespace

std::string OpenRefusal::text() const
{
    switch (failure) {
    case OpenFailure::NoSuchDevice:
        if (!detail.empty())
            return detail;
        if (!systemText.empty())
            return path + " names no device present (" + systemText + ")";
        if (!device.empty() && device != absolutePortName(path))
            return path + " links to " + device + ", which does not exist";
        return (path.find('/') != std::string::npos || device.empty() ? path : device) +
               " does not exist";
    case OpenFailure::NotSerial:
        return path + " is not a serial device (" + detail + ")";
    case OpenFailure::PermissionDenied:
        if (!detail.empty()) {
            return "permission denied: add your user to the " + detail + " group to use " + device +
                   " (then log in again)";
        }
        return "permission denied: this user may not open " + device;
    case OpenFailure::InUse:
        switch (by) {
        case InUseBy::ControllingTerminal:
            return path + " is the terminal of " + describedProcess(pid, processName);
        case InUseBy::ExclusiveMode:
            return "in use: another program holds " + device + " in exclusive mode";
        case InUseBy::DeviceLock:
            if (pid > 0)
                return "in use: " + describedProcess(pid, processName) + " holds " + device +
                       " locked";
            return "in use: another program holds " + device + " locked";
        case InUseBy::SystemConsole:
            return path + " is the system console";
        case InUseBy::Lock:
            if (stale && pid > 0) {
                return "stale lock " + lockFile + " of process " + std::to_string(pid) +
                       ", which has ended, could not be removed: " + systemText;
            }
            if (stale)
                return "stale lock " + lockFile + " could not be removed: " + systemText;
            if (!systemText.empty())
                return "in use: lock " + lockFile + " could not be read: " + systemText;
            if (pid <= 0) {
                return "in use: lock " + lockFile + " names no process and is less than " +
                       std::to_string(UnreadableLockSeconds) + " s old";
            }
            if (!detail.empty()) {
                return "in use: lock " + lockFile + " held by process " + std::to_string(pid) +
                       " on host " + detail;
            }
            return "in use: lock " + lockFile + " held by " + describedProcess(pid, processName);
        case InUseBy::RemoteClient:
            if (!detail.empty())
                return "busy: another client holds " + device + " (the server said: " + detail +
                       ")";
            return "busy: another client holds " + device;
        case InUseBy::Nobody:
            break;
        }
        return path + " is in use";
    case OpenFailure::Other:
        if (!lockFile.empty())
            return path + " could not be locked: cannot make " + lockFile + ": " + systemText;
        break;
    case OpenFailure::Unreachable:
    case OpenFailure::Ambiguous:
        if (!detail.empty())
            return detail;
        return path + " cannot be reached: " + systemText;
    }
    return path + " could not be opened: " + systemText;
}
