// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <optional>

// A board served over the network by a serial server: socket://HOST:PORT (the bytes as they
// are) or rfc2217://HOST:PORT (telnet with the com-port option); an IPv6 host in brackets.
struct RemoteAddress
{
    enum class Protocol { Raw, Rfc2217 };

    Protocol protocol = Protocol::Raw;
    std::string host; // without brackets: "lab7", "10.0.0.7", "::1"
    std::uint16_t port = 0;

    // "rfc2217://lab7:4003", "socket://[::1]:4003"
    std::string url() const;
    // "lab7:4003", "[::1]:4003"
    std::string hostPort() const;

    // Nothing when text is not written as a URL: a device path. A URL that is not one of ours,
    // or is malformed, gives nothing and sets *error to one line that says why.
    static std::optional<RemoteAddress> parse(std::string_view text, std::string *error);
    // "scheme://" before any other '/'.
    static bool looksLikeUrl(std::string_view text);
};
