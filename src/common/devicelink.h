// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// A symbolic link to a served pty, for clients that want a fixed device name. Nothing but a link
// into /dev/pts is ever replaced; the destructor removes the link only while it still points at
// our device.
class DeviceLink
{
public:
    enum class Replace {
        AnyPty,   // a link into /dev/pts, taken for one left behind by an earlier run
        StalePty, // only a link to a pty that is gone: a live one is another program's
    };

    explicit DeviceLink(const QString &path, Replace replace = Replace::AnyPty)
        : m_path(path), m_replace(replace)
    {}
    ~DeviceLink() { remove(); }
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    QString path() const { return m_path; }
    // Why create() would refuse, without touching anything; empty when nothing is in the way.
    QString obstacle() const;
    bool create(const QString &target, QString *error);
    void remove();

private:
    QString m_path;
    Replace m_replace;
    QString m_target;
};
