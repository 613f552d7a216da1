// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>

#include <sys/stat.h>

// A symbolic link to a served pty, for clients that want a fixed device name. Nothing but a link
// into /dev/pts is ever replaced; the destructor removes the link only while it still points at
// our device.
class DeviceLink
{
public:
    enum class Replace {
        AnyPty,   // a link into /dev/pts, taken for one left behind by an earlier run
        StalePty, // only a link to a pty that is gone, or to our own: a live one is another
                  // program's
    };

    explicit DeviceLink(const std::string &path, Replace replace = Replace::AnyPty)
        : m_path(path), m_replace(replace)
    {}
    ~DeviceLink() { remove(); }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    std::string path() const { return m_path; }
    // Why the link can never be made where it is asked for (its folder is missing); empty
    // when it can.
    std::string misplaced() const;
    // Why create() would refuse, without touching anything; empty when nothing is in the way.
    // A stale link found here is replaced by create() even when its pty's number has been
    // given out again meanwhile, most likely to the pty the link is then made for.
    std::string obstacle();
    bool create(const std::string &target, std::string *error);
    void remove();

private:
    // One symbolic link: a link cannot be changed, only replaced by another.
    struct Identity
    {
        dev_t device;
        ino_t inode;
        time_t changed;
        long changedNs;
        bool operator==(const Identity &) const = default;
    };
    static std::optional<Identity> identity(const std::string &path);
    std::string refusal(const std::string &ours) const;

    std::string m_path;
    Replace m_replace;
    std::string m_target;
    std::optional<Identity> m_stale; // the link obstacle() found stale
};
