// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "boardmodel.h"
#include "common/ptyendpoint.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Serves the board on a pseudo-terminal, so the application opens devicePath() as it would
// open the real board's serial port. One thread of its own does all the pty I/O; every public
// function may be called from any thread at any time. As on a real port, the exclusive flag
// a client sets (TIOCEXCL) ends once the last client has closed the device, however it went.
class PtyBoard
{
public:
    // How the board answers read-ports, to drive the host's error handling.
    enum class ReplyMode {
        Normal, // the three port values
        Short,  // only the first two bytes
        Extra,  // the three bytes, then ExtraReplyByte
        Silent, // nothing at all
        Double, // the three bytes twice, in one write
    };
    static constexpr std::uint8_t ExtraReplyByte = 0xE5;

    using LogHandler = std::function<void(const std::string &line)>;

    PtyBoard() = default;
    ~PtyBoard();
    PtyBoard(const PtyBoard &) = delete;
    PtyBoard &operator=(const PtyBoard &) = delete;

    // Creates the pty, already in raw mode, and starts serving it like a board just powered up:
    // registers and the record start afresh; input patterns, reply mode and delay are kept.
    bool start(std::string *error = nullptr);
    // Stops serving and closes the pty; a client that still has it open sees a hang-up.
    void stop();
    bool isRunning() const;
    // The slave side, e.g. "/dev/pts/3"; it stays set after stop() or hangUp().
    std::string devicePath() const;

    // Every byte from the host, in arrival order, since start() or clearReceived().
    std::string received() const;
    // Off, bytes are decoded but not kept: received() stays empty, so a board that serves
    // for days does not grow.
    void setRecording(bool on);
    void clearReceived();
    bool waitForReceived(std::size_t count, int timeoutMs);
    // Decoded read-ports commands, whatever the reply mode.
    int readRequests() const;

    void setInputPattern(Port port, std::uint8_t pattern);
    std::uint8_t inputPattern(Port port) const;
    std::uint8_t direction(Port port) const;
    std::uint8_t output(Port port) const;

    void setReplyMode(ReplyMode mode);
    ReplyMode replyMode() const;
    // The reply leaves this long after its read-ports arrived; commands go on being read
    // meanwhile. The reply carries the port values as they were when the request arrived.
    void setReplyDelay(int ms);
    int replyDelay() const;

    // Sends bytes the host did not ask for, behind any reply already due; dropped while the
    // board is not running.
    void inject(std::string_view bytes);
    // Waits until every pending reply and every injected byte has been handed to the pty;
    // false on a timeout. The host may not have read them yet.
    bool waitUntilSent(int timeoutMs);
    // The cable is pulled: the pty goes away as with stop(). The host's open descriptor reports
    // a hang-up (poll: POLLHUP; read: end of file; write: EIO).
    void hangUp();

    // Called on the I/O thread, never under the board's lock, once per decoded event.
    void setLogHandler(LogHandler handler);

private:
    using Clock = std::chrono::steady_clock;

    struct PendingReply
    {
        Clock::time_point due;
        std::string bytes;
    };

    void run();
    bool readMasterLocked(std::vector<std::string> &log);
    void handleEventLocked(const BoardModel::Event &event, std::vector<std::string> &log);
    int pollTimeoutLocked() const;
    void releaseDueRepliesLocked();
    void flushOutgoingLocked();
    void wakeLocked();
    void closeFdsLocked();

    std::mutex m_controlMutex; // serialises start() and stop()
    mutable std::mutex m_mutex;
    std::condition_variable m_changed; // received bytes, or all sent
    std::thread m_thread;

    PtyEndpoint m_pty;
    int m_wakeFd = -1;
    bool m_stopRequested = false;
    bool m_masterBroken = false;

    BoardModel m_model;
    std::string m_received;
    bool m_recording = true;
    int m_readRequests = 0;
    ReplyMode m_replyMode = ReplyMode::Normal;
    int m_replyDelayMs = 0;
    std::deque<PendingReply> m_pendingReplies;
    std::string m_outgoing;
    LogHandler m_logHandler;
};
