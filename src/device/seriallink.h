// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include "portaccess.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Where the link stands. Lost: the open port broke (device gone, I/O error, connection
// closed); it stays so, writing and reading nothing, until its owner closes it.
enum class LinkState { Closed, Open, Lost };

// What a link over the network adds to what is said of it.
struct NetworkFacts
{
    std::string hostPort; // "lab7:4003", "[::1]:4003"
    bool telnet = false;  // RFC 2217: the line settings are asked of the server
    // The time a message to the server and back took while opening, in milliseconds,
    // rounded up: what a reply's deadline has to allow on top of the board's own.
    int roundTripMs = 0;
    // Telnet only: why the server's line settings are not confirmed as 9600 8N1, for people;
    // empty when they are.
    std::string settingsProblem;
};

// The handful of serial-port operations the program uses, and nothing more: a board on a
// local serial port or on a serial server across the network. Bytes are raw octets in a
// std::string. The board commands, the window and zarvex are written against this interface
// only; makeLink() chooses the transport. No call but close() ever closes the port.
class SerialLink
{
public:
    SerialLink() = default;
    virtual ~SerialLink() = default;
    SerialLink(const SerialLink &) = delete;
    SerialLink &operator=(const SerialLink &) = delete;

    // Opens what the link was made for, with the fixed line settings, writing nothing to the
    // board. Returns why it could not, or nothing once it is open. An open link is closed
    // first.
    virtual std::optional<OpenRefusal> open() = 0;
    // Closes the link; closing a closed link does nothing.
    virtual void close() = 0;
    virtual LinkState state() const = 0;
    bool isOpen() const { return state() == LinkState::Open; }

    // Writes the bytes with one write, without waiting for them to leave. While the system
    // cannot take them (its transmit buffer is full: a slow line, a board that does not read)
    // it waits, and a write the system took only in part goes on with the rest; without an
    // interrupt check (the window) what the system cannot take yet is kept, in order, and goes
    // from service(). False when the link is not open or broke, or when the interrupt check
    // ended the wait: the link then stays open, and none of the bytes went (or, where the
    // system took some and then nothing more for a second, those).
    virtual bool output(std::string_view bytes) = 0;

    // Asked at least every 100 ms while a call waits for the system; true gives up the wait.
    // None by default: the wait lasts until the bytes go or the link breaks.
    void setInterruptCheck(std::function<bool()> check) { m_interruptCheck = std::move(check); }
    bool interruptRequested() const { return m_interruptCheck && m_interruptCheck(); }
    bool hasInterruptCheck() const { return bool(m_interruptCheck); }

    // Received bytes waiting to be taken, counting those still held by the system.
    virtual std::size_t inBufferCount() = 0;
    // Takes the waiting bytes, oldest first: all that inBufferCount() counted, or when it
    // counted none (or was not asked), all there are now.
    virtual std::string input() = 0;
    // Blocks the calling thread until more bytes may have arrived or msecs have passed.
    virtual void waitForInput(int msecs) = 0;
    // Drops the waiting bytes: all that inBufferCount() counted, or when it counted none, all
    // there are now. A link may also have the far end drop what it still holds.
    virtual void dropWaiting() { input(); }

    // For an owner that waits on several things at once (the window's event loop, watch,
    // bridge). The descriptor that becomes readable when bytes arrive or the link breaks: -1
    // while not open, and on systems without one (Windows).
    virtual int descriptor() const { return -1; }
    // Whether the link takes more bytes now (its receive buffer is not full): watch
    // descriptor() for reading only while this holds.
    virtual bool wantsRead() const { return isOpen(); }
    // Bytes wait that the system could not take yet: watch descriptor() for writing too.
    virtual bool hasUnsent() const { return false; }
    // Called when descriptor() is ready: takes what arrived, sends what waits, notices a
    // loss. Never blocks.
    virtual void service() {}
    // Called once per open when the link finds itself lost, possibly from inside output() or
    // inBufferCount(): an event-loop owner defers its reaction to the loop.
    void setLossHandler(std::function<void()> handler) { m_lossHandler = std::move(handler); }

    // The name opened, as given or as a port number named it ("/dev/com3", "COM7",
    // "rfc2217://lab7:4003"); empty before the first open.
    virtual std::string name() const = 0;
    // What that name resolved to: the device ("/dev/ttyUSB0") or the address connected to
    // ("127.0.0.1:4003"); empty until opened.
    virtual std::string device() const = 0;
    // Lost: why, in one line ("the connection to 127.0.0.1:4003 was closed"); empty where the
    // owner's own words serve (a serial port that went).
    virtual std::string lossText() const { return {}; }
    // Lost because the server turned us away after all, before the board's first reply;
    // nothing we sent reached the board.
    virtual std::optional<OpenRefusal> lateRefusal() const { return std::nullopt; }
    // Nothing for a local port.
    virtual std::optional<NetworkFacts> network() const { return std::nullopt; }

protected:
    // How often a wait for the system asks the interrupt check.
    static constexpr int InterruptCheckMs = 100;
    // Once part of a command has gone, the rest may not be given up for this long: a line that
    // moves at all takes the last byte or two of a command in a few milliseconds, and a board
    // that read half a command would read the next one askew.
    static constexpr int CommandRestMs = 1000;

    // For the links: tells the loss handler, once per open (call again after each open).
    void reportLoss();
    void resetLossReport() { m_lossReported = false; }

private:
    std::function<bool()> m_interruptCheck;
    std::function<void()> m_lossHandler;
    bool m_lossReported = false;
};
