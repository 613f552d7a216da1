// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "../porttarget.h"
#include "../receivebuffer.h"
#include "../seriallink.h"
#include "lockfile.h"

#include <cstdint>
#include <optional>
#include <string>

#include <termios.h>

// SerialLink over a POSIX terminal device: 9600 baud, 8 data bits, no parity, one stop bit,
// no flow control, raw bytes, a 1024-byte receive buffer. Before the device is opened,
// everything that is not ours to use is refused (PortClaim), and the claim is held until it
// is closed; the device is opened, locked and given its lock file under the name it resolves
// to, so two names of one device share one lock. Commands and replies go straight through the
// descriptor, so that a full transmit buffer is waited out rather than taken for a broken
// port, and an exchange costs no more system calls than it needs.
class TermiosLink : public SerialLink
{
public:
    // A port number (named by options.portNamer, or systemPortName()), a device path, or a USB
    // serial number, looked up in options.deviceTree at each open (a board plugged in again
    // may come back under another name).
    explicit TermiosLink(const PortTarget &target, const LinkOptions &options = {});
    ~TermiosLink() override;

    std::optional<OpenRefusal> open() override;
    void close() override;
    LinkState state() const override { return m_state; }
    bool output(std::string_view bytes) override;
    std::size_t inBufferCount() override;
    std::string input() override;
    void waitForInput(int msecs) override;

    int descriptor() const override { return m_state == LinkState::Open ? m_fd : -1; }
    bool wantsRead() const override;
    bool hasUnsent() const override { return m_state == LinkState::Open && !m_unsent.empty(); }
    void service() override;

    std::string name() const override { return m_location; }
    std::string device() const override { return m_device; }

private:
    void markLost();
    std::optional<OpenRefusal> refusalAfterFailedOpen(const std::string &device, int error,
                                                      bool locking) const;
    // Moves what the system holds into m_received, up to its size.
    void takeWaiting();
    // Hands the system as much of m_unsent as it takes now, without waiting.
    void writeUnsent();

    PortTarget m_target;
    std::function<std::string(int)> m_namer;
    DeviceTree m_deviceTree;
    std::optional<PortClaim> m_claim;
    SerialLockFile m_lockFile;
    int m_fd = -1;
    termios m_savedSettings{};
    ReceiveBuffer m_received;
    // Without an interrupt check (the window) nothing waits for the board: what the system
    // cannot take yet is kept here, in order, and goes from service().
    std::string m_unsent;
    LinkState m_state = LinkState::Closed;
    std::string m_location;
    std::string m_device;
};
