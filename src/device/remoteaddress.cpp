// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "remoteaddress.h"

#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace {

constexpr std::string_view SchemeMark = "://";

std::string schemeOf(RemoteAddress::Protocol protocol)
{
    return protocol == RemoteAddress::Protocol::Rfc2217 ? "rfc2217" : "socket";
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != lower[at])
            return false;
    }
    return true;
}

bool isIpv6(const std::string &host)
{
    in6_addr address{};
    return ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

// A name or an IPv4 address: letters, digits, dots, hyphens and underscores.
bool isHostName(std::string_view host)
{
    for (const char c : host) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!(letterOrDigit || c == '.' || c == '-' || c == '_'))
            return false;
    }
    return true;
}

// The interface of a link-local address, after '%' (written %25 in a URL): "eth0", "3".
bool isZone(std::string_view zone)
{
    return !zone.empty() && isHostName(zone);
}

} // namespace

std::string RemoteAddress::url() const
{
    return schemeOf(protocol) + std::string(SchemeMark) + hostPort();
}

std::string RemoteAddress::hostPort() const
{
    const std::string shownHost = host.find(':') != std::string::npos ? '[' + host + ']' : host;
    return shownHost + ':' + std::to_string(port);
}

bool RemoteAddress::looksLikeUrl(std::string_view text)
{
    const std::size_t mark = text.find(SchemeMark);
    return mark != std::string_view::npos && text.find('/') == mark + 1;
}

std::optional<RemoteAddress> RemoteAddress::parse(std::string_view text, std::string *error)
{
    const auto fail = [&](const std::string &reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (error)
        error->clear();
    if (!looksLikeUrl(text))
        return std::nullopt;

    const std::string whole(text);
    const std::size_t mark = text.find(SchemeMark);
    const std::string_view scheme = text.substr(0, mark);
    RemoteAddress address;
    if (equalsIgnoringCase(scheme, "socket"))
        address.protocol = Protocol::Raw;
    else if (equalsIgnoringCase(scheme, "rfc2217"))
        address.protocol = Protocol::Rfc2217;
    else
        return fail("unknown scheme " + std::string(scheme) + ":// (use socket:// or rfc2217://)");

    const std::string_view rest = text.substr(mark + SchemeMark.size());
    const auto has = [](std::string_view in, char c) { return in.find(c) != in.npos; };
    if (has(rest, '?'))
        return fail("options after ? are not supported");
    if (has(rest, '@'))
        return fail(whole + ": a user name (user@) is not supported");
    if (has(rest, '/') || has(rest, '#'))
        return fail(whole + ": nothing may follow the port");

    std::string_view portText;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == rest.npos)
            return fail(whole + ": no ] after the IPv6 address");
        address.host = std::string(rest.substr(1, close - 1));
        // A zone goes to the system as "fe80::1%eth0", however the URL escaped its '%'.
        const std::size_t percent = address.host.find('%');
        std::string zone;
        if (percent != std::string::npos) {
            zone = address.host.substr(percent + 1);
            if (zone.starts_with("25") && zone.size() > 2)
                zone = zone.substr(2);
            address.host.resize(percent);
        }
        if (!isIpv6(address.host))
            return fail(whole + ": " + address.host + " is not an IPv6 address");
        if (percent != std::string::npos && !isZone(zone))
            return fail(whole + ": no interface name after %");
        if (percent != std::string::npos)
            address.host += '%' + zone;
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty() && after.front() != ':')
            return fail(whole + ": nothing may follow the port");
        hasPort = !after.empty();
        portText = hasPort ? after.substr(1) : after;
    } else {
        const std::size_t colon = rest.rfind(':');
        address.host = std::string(colon == rest.npos ? rest : rest.substr(0, colon));
        hasPort = colon != rest.npos;
        portText = hasPort ? rest.substr(colon + 1) : rest;
        if (has(address.host, ':'))
            return fail(whole + ": an IPv6 address goes in brackets, as in socket://[::1]:4003");
        if (!address.host.empty() && !isHostName(address.host))
            return fail(whole + ": " + address.host + " is not a host name");
    }
    if (address.host.empty())
        return fail(whole + ": no host");
    if (!hasPort || portText.empty())
        return fail(whole + ": no port");

    for (const char c : portText) {
        if (c < '0' || c > '9')
            return fail(whole + ": port " + std::string(portText) + " is not a number");
    }
    // Compared as text first, so that no number of digits overflows.
    std::size_t zeros = 0;
    while (zeros < portText.size() - 1 && portText[zeros] == '0')
        ++zeros;
    const std::string_view digits = portText.substr(zeros);
    const unsigned long port = digits.size() > 5 ? 0 : std::stoul(std::string(digits));
    if (port < 1 || port > 65535)
        return fail("port " + std::string(portText) + " is not 1 to 65535");
    address.port = std::uint16_t(port);
    return address;
}
