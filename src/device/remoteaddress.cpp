// SPDX-FileCopyrightText: the Zarvex Test developers
// SPDX-License-Identifier: MIT
#include "remoteaddress.h"

#ifdef Q_OS_UNIX
#include <arpa/inet.h>
#endif

namespace {

const QString SchemeMark = QStringLiteral("://");

QString schemeOf(RemoteAddress::Protocol protocol)
{
    return protocol == RemoteAddress::Protocol::Rfc2217 ? QStringLiteral("rfc2217")
                                                        : QStringLiteral("socket");
}

bool isIpv6(const QString &host)
{
#ifdef Q_OS_UNIX
    in6_addr address{};
    return ::inet_pton(AF_INET6, host.toLatin1().constData(), &address) == 1;
#else
    return host.contains(QLatin1Char(':'));
#endif
}

// A name or an IPv4 address: letters, digits, dots, hyphens and underscores.
bool isHostName(const QString &host)
{
    for (const QChar c : host) {
        if (c.unicode() > 0x7F || !(c.isLetterOrNumber() || c == QLatin1Char('.') ||
                                    c == QLatin1Char('-') || c == QLatin1Char('_')))
            return false;
    }
    return true;
}

// The interface of a link-local address, after '%' (written %25 in a URL): "eth0", "3".
bool isZone(const QString &zone)
{
    return !zone.isEmpty() && isHostName(zone);
}

} // namespace

QString RemoteAddress::url() const
{
    return schemeOf(protocol) + SchemeMark + hostPort();
}

QString RemoteAddress::hostPort() const
{
    const QString shownHost =
        host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return shownHost + QLatin1Char(':') + QString::number(port);
}

bool RemoteAddress::looksLikeUrl(const QString &text)
{
    const qsizetype mark = text.indexOf(SchemeMark);
    return mark >= 0 && text.indexOf(QLatin1Char('/')) == mark + 1;
}

std::optional<RemoteAddress> RemoteAddress::parse(const QString &text, QString *error)
{
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    if (error)
        error->clear();
    if (!looksLikeUrl(text))
        return std::nullopt;

    const qsizetype mark = text.indexOf(SchemeMark);
    const QString scheme = text.left(mark);
    RemoteAddress address;
    if (scheme.compare(QLatin1String("socket"), Qt::CaseInsensitive) == 0)
        address.protocol = Protocol::Raw;
    else if (scheme.compare(QLatin1String("rfc2217"), Qt::CaseInsensitive) == 0)
        address.protocol = Protocol::Rfc2217;
    else
        return fail(
            QStringLiteral("unknown scheme %1:// (use socket:// or rfc2217://)").arg(scheme));

    QString rest = text.mid(mark + SchemeMark.size());
    if (rest.contains(QLatin1Char('?')))
        return fail(QStringLiteral("options after ? are not supported"));
    if (rest.contains(QLatin1Char('@')))
        return fail(QStringLiteral("%1: a user name (user@) is not supported").arg(text));
    if (rest.contains(QLatin1Char('/')) || rest.contains(QLatin1Char('#')))
        return fail(QStringLiteral("%1: nothing may follow the port").arg(text));

    QString portText;
    bool hasPort = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return fail(QStringLiteral("%1: no ] after the IPv6 address").arg(text));
        address.host = rest.mid(1, close - 1);
        // A zone goes to the system as "fe80::1%eth0", however the URL escaped its '%'.
        const qsizetype percent = address.host.indexOf(QLatin1Char('%'));
        QString zone;
        if (percent >= 0) {
            zone = address.host.mid(percent + 1);
            if (zone.startsWith(QLatin1String("25")) && zone.size() > 2)
                zone = zone.mid(2);
            address.host.truncate(percent);
        }
        if (!isIpv6(address.host))
            return fail(QStringLiteral("%1: %2 is not an IPv6 address").arg(text, address.host));
        if (percent >= 0 && !isZone(zone))
            return fail(QStringLiteral("%1: no interface name after %").arg(text));
        if (percent >= 0)
            address.host += QLatin1Char('%') + zone;
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))
            return fail(QStringLiteral("%1: nothing may follow the port").arg(text));
        hasPort = !after.isEmpty();
        portText = after.mid(1);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        address.host = colon < 0 ? rest : rest.left(colon);
        hasPort = colon >= 0;
        portText = rest.mid(colon + 1);
        if (address.host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("%1: an IPv6 address goes in brackets, as in "
                                       "socket://[::1]:4003")
                            .arg(text));
        if (!address.host.isEmpty() && !isHostName(address.host))
            return fail(QStringLiteral("%1: %2 is not a host name").arg(text, address.host));
    }
    if (address.host.isEmpty())
        return fail(QStringLiteral("%1: no host").arg(text));
    if (!hasPort || portText.isEmpty())
        return fail(QStringLiteral("%1: no port").arg(text));

    bool numeric = !portText.isEmpty();
    for (const QChar c : portText)
        numeric = numeric && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    if (!numeric)
        return fail(QStringLiteral("%1: port %2 is not a number").arg(text, portText));
    // Compared as text first, so that no number of digits overflows.
    qsizetype zeros = 0;
    while (zeros < portText.size() - 1 && portText[zeros] == QLatin1Char('0'))
        ++zeros;
    const QString digits = portText.mid(zeros);
    const uint port = digits.size() > 5 ? 0 : digits.toUInt();
    if (port < 1 || port > 65535)
        return fail(QStringLiteral("port %1 is not 1 to 65535").arg(portText));
    address.port = quint16(port);
    return address;
}
