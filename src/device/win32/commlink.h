// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "device/porttarget.h"
#include "device/receivebuffer.h"
#include "device/seriallink.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// SerialLink on a Windows communications port (COMn), through the Win32 communications API.
// The port is opened without sharing: the system's exclusive open is the claim, so a port
// another program has open is refused as in use. All I/O is overlapped, so that a write the
// system has not finished never blocks the caller, and a wait for input can end on time.
class CommLink : public SerialLink
{
public:
    CommLink(const PortTarget &target, const LinkOptions &options);
    ~CommLink() override;

    std::optional<OpenRefusal> open() override;
    void close() override;
    LinkState state() const override { return m_state; }
    bool output(std::string_view bytes) override;
    std::size_t inBufferCount() override;
    std::string input() override;
    void waitForInput(int msecs) override;
    // Also drops what the system holds, with PurgeComm (the receive side only: the transmit
    // side may hold a command that has not gone yet).
    void dropWaiting() override;

    // A write the system has taken but not finished, or bytes queued behind it.
    bool hasUnsent() const override { return m_writing || !m_unsent.empty(); }
    void service() override;

    std::string name() const override { return m_name; }
    std::string device() const override { return m_device; }

private:
    struct Io; // the handle's overlapped state, kept off this header (windows.h)

    std::string nameToOpen() const;
    OpenRefusal refusal(OpenFailure failure, std::uint32_t error) const;
    std::optional<OpenRefusal> configure();
    // Reads what the system holds, up to the receive buffer's room.
    void takeWaiting();
    // Starts the write of m_unsent when none is in flight; notices one that finished.
    void pumpWrites();
    // Finishes the write in flight: waits up to waitMs (-1: until done); false while it is
    // still in flight.
    bool finishWrite(std::uint32_t waitMs);
    // Ends the write in flight early and waits until the system has let go of its buffer.
    void cancelWrite();
    void markLost();

    PortTarget m_target;
    std::function<std::string(int)> m_namer;
    std::unique_ptr<Io> m_io;
    LinkState m_state = LinkState::Closed;
    std::string m_name;
    std::string m_device;
    ReceiveBuffer m_received;
    std::string m_unsent;   // to be written once the write in flight has finished
    bool m_writing = false; // a write is in flight (its bytes are in m_io)
    bool m_cancelling = false;
    // The system cannot tell that input arrived (WaitCommEvent unsupported): wait by polling.
    bool m_pollForInput = false;
};
