// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// A pseudo-terminal that this program serves from its master side, so that other programs open
// devicePath() as they would open a serial port. It starts in raw mode, its master does not
// block, and it keeps a slave descriptor of its own so that the master never sees a hang-up
// between clients. As on a real port, the exclusive flag a client sets (TIOCEXCL) ends once the
// last client has closed the device, however that client ended.
//
// Not thread-safe: its owner serialises the calls, and polls masterFd() and clientWatchFd().
class PtyEndpoint
{
public:
    enum class Clients {
        Unchanged, // nothing but opens and closes that change no answer
        Present,   // a client has the device open
        Gone,      // the last client has closed it
    };

    PtyEndpoint() = default;
    ~PtyEndpoint();
    PtyEndpoint(const PtyEndpoint &) = delete;
    PtyEndpoint &operator=(const PtyEndpoint &) = delete;

    bool open(std::string *error = nullptr);
    // A client that still has the device open sees a hang-up.
    void close();
    bool isOpen() const { return m_masterFd >= 0; }

    int masterFd() const { return m_masterFd; }
    // Readable once a client has opened or closed the device; then call takeClientEvents().
    int clientWatchFd() const { return m_watchFd; }
    // The slave side, e.g. "/dev/pts/3"; it stays set after close().
    std::string devicePath() const { return m_devicePath; }

    // Takes the opens and closes noted so far. After a close it finds out whether any client is
    // left, and when none is, ends the exclusive flag.
    Clients takeClientEvents();
    // Discards what waits unread for a client and puts raw mode back, so that the next client
    // starts as the first one did.
    void resetForNextClient();

private:
    enum Seen { Opened = 1, Closed = 2 };
    int drainWatch();
    bool clientRemains();

    int m_masterFd = -1;
    int m_slaveFd = -1;
    int m_watchFd = -1; // inotify on the slave
    std::string m_devicePath;
};
