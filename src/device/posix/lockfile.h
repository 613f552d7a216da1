// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

// The lock file the serial layer has always made for an open port, so that other programs
// (and our own checks) see the port in use: LCK..<device name under /dev, '/' as '_'>, in
// the first lock directory it may read that holds that file already or may be written to.
class SerialLockFile
{
public:
    SerialLockFile() = default;
    SerialLockFile(SerialLockFile &&other) noexcept;
    SerialLockFile &operator=(SerialLockFile &&other) noexcept;
    SerialLockFile(const SerialLockFile &) = delete;
    SerialLockFile &operator=(const SerialLockFile &) = delete;
    ~SerialLockFile() { remove(); }

    // The file for device; empty when no lock directory can hold it. lockDirs empty: the
    // serial layer's own.
    static std::string pathFor(const std::string &device,
                               const std::vector<std::string> &lockDirs = {});

    // Makes the file, naming this process; 0 or the errno of the step that failed (EEXIST:
    // someone else's lock is there).
    int make(const std::string &file);
    // Removes the file this made; does nothing when it made none.
    void remove();

private:
    std::string m_file;
    int m_fd = -1;
};
