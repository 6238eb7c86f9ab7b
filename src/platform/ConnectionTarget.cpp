#include "ConnectionTarget.h"

#include "Process.h"

#include <QDir>
#include <QRegularExpression>
#include <arpa/inet.h>
#include <netinet/in.h>

namespace platform {

QString ConnectionTarget(const QStringList& arguments, const QString& workingDirectory) {
    if (arguments.size() > 1 && !arguments.at(1).isEmpty())
        return arguments.at(1);
    // The root already ends in "/", so it gives "//KORVEX.FDB", as the root of a drive would.
    return QStringLiteral("127.0.0.1:") + workingDirectory + QStringLiteral("/KORVEX.FDB");
}

QString ComparableTarget(const QString& target) {
    const QString trimmed = target.trimmed();
    // "host:path" or "host/port:path"; a local path or a drive letter ("C:\\...") has no server.
    const qsizetype colon = trimmed.indexOf(u':');
    const bool hasServer = colon > 1 && !trimmed.startsWith(u'/');
    QString server = hasServer ? trimmed.left(colon).toLower() : QString();
    const QString path = hasServer ? trimmed.mid(colon + 1) : trimmed;
    if (server.endsWith(u"/3050"))
        server.chop(5);
    if (server == u"localhost")
        server = QStringLiteral("127.0.0.1");
    return server + u':' + (path.startsWith(u'/') ? QDir::cleanPath(path) : path);
}

namespace {

// A server named by address: 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped into IPv6. Spellings the
// resolver takes ("127.1") count as well.
bool IsLoopbackAddress(const QString& host) {
    const QByteArray bytes = host.toLatin1();
    in_addr v4{};
    if (::inet_aton(bytes.constData(), &v4) != 0)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, bytes.constData(), &v6) != 1)
        return false;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
}

// "[::1]" or "[::1]:3051" as "::1"; a port after a name or an IPv4 address dropped.
QString WithoutPort(QString host, QChar portSeparator) {
    if (host.startsWith(u'['))
        return host.mid(1, host.indexOf(u']') - 1);
    const qsizetype port = host.lastIndexOf(portSeparator);
    return port < 0 ? host : host.left(port);
}

// The server part of a target, empty when it names none. Forms: "host:path", "host/port:path",
// "[v6]:path", "[v6]/port:path", "inet://host:port/path" (also inet4, inet6, wnet),
// "\\host\path"; "xnet://" is this machine's shared memory.
QString ServerOf(const QString& target) {
    static const QRegularExpression url(QStringLiteral("^(inet[46]?|wnet|xnet)://([^/]*)"),
                                        QRegularExpression::CaseInsensitiveOption);
    if (const QRegularExpressionMatch match = url.match(target); match.hasMatch())
        return match.captured(1).toLower() == u"xnet" ? QString()
                                                      : WithoutPort(match.captured(2), u':');
    if (target.startsWith(QStringLiteral("\\\\")))
        return target.mid(2).section(u'\\', 0, 0);
    if (target.startsWith(u'['))
        return WithoutPort(target.left(target.indexOf(u']') + 1), u'/');
    const qsizetype colon = target.indexOf(u':');
    // A path of its own, or a drive letter ("C:\\..."), has no server.
    if (colon <= 1 || target.startsWith(u'/'))
        return QString();
    return WithoutPort(target.left(colon), u'/');
}

} // namespace

bool IsLocalTarget(const QString& target) {
    const QString server = ServerOf(target.trimmed()).toLower();
    return server.isEmpty() || server == u"localhost" || IsLoopbackAddress(server);
}

QString DefaultConnectionTarget() {
    return ConnectionTarget({}, WorkingDirectory());
}

} // namespace platform
