// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

// The board's bytes a link has taken from the system and its owner not yet: a local port's
// receive buffer, as the window has always had it. Nothing more is read while it is full.
class ReceiveBuffer
{
public:
    static constexpr std::size_t Capacity = 1024;

    std::size_t size() const { return m_bytes.size(); }
    bool empty() const { return m_bytes.empty(); }
    bool full() const { return m_bytes.size() >= Capacity; }
    // How many more bytes may be read.
    std::size_t room() const { return full() ? 0 : Capacity - m_bytes.size(); }

    void append(std::string_view bytes) { m_bytes.append(bytes); }
    void clear() { m_bytes.clear(); }
    // For a decoder that appends the board's bytes itself.
    std::string &bytes() { return m_bytes; }
    const std::string &bytes() const { return m_bytes; }

    // input(): everything held, or else whatever count() (the link's inBufferCount()) brings
    // in; nothing while the link is not open. Bytes counted already are taken without asking
    // the system again: what it holds now came after them, as if a moment after this call.
    template<typename Count> std::string take(bool open, Count &&count)
    {
        if (!open || (m_bytes.empty() && count() == 0))
            return {};
        return std::exchange(m_bytes, {});
    }

private:
    std::string m_bytes;
};
