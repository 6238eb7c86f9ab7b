#include "ConnectionOptions.h"

#include "Error.h"

#include <climits>
#include <ibase.h>

namespace db {
namespace {

Error invalidParameter(const QString& name) {
    return Error("Invalid connection parameter: " + name.toStdString());
}

// Texts travel behind a one-byte length.
QString checkedText(const QString& value, const QString& name) {
    if (value.toUtf8().size() > 255)
        throw invalidParameter(name);
    return value;
}

qint32 checkedNumber(const QString& value, const QString& name, qint32 least) {
    bool ok = false;
    const qint32 number = value.trimmed().toInt(&ok);
    if (!ok || number < least)
        throw invalidParameter(name);
    return number;
}

bool checkedChoice(const QString& value, const QString& name) {
    const QString choice = value.trimmed().toLower();
    if (choice != u"true" && choice != u"false")
        throw invalidParameter(name);
    return choice == u"true";
}

// Takes one line into the options; a parameter given twice is refused rather than one of its
// values picked.
void takeLine(ConnectionOptions& options, const QString& line) {
    const qsizetype equals = line.indexOf(u'=');
    const QString written = line.left(equals).trimmed(); // the whole line when there is none
    if (equals < 0)
        throw invalidParameter(written);
    const QString value = line.mid(equals + 1);
    const auto set = [&](auto& part, auto taken) {
        if (part)
            throw invalidParameter(written);
        part = taken;
    };
    const QString name = written.toLower();
    if (name == u"user_name")
        set(options.user, checkedText(value, written));
    else if (name == u"password")
        set(options.password, checkedText(value, written));
    else if (name == u"sql_dialect")
        set(options.sqlDialect, checkedNumber(value, written, INT_MIN));
    else if (name == u"connect_timeout")
        set(options.connectTimeoutSeconds, checkedNumber(value, written, 0));
    else if (name == u"wire_compression")
        set(options.wireCompression, checkedChoice(value, written));
    else
        throw invalidParameter(written);
}

// UTF-8 behind a one-byte length, as the block's closing flag tells the client library.
void appendText(QByteArray& block, char item, const QString& value, const char* name) {
    const QByteArray bytes = checkedText(value, QString::fromLatin1(name)).toUtf8();
    block.append(item);
    block.append(static_cast<char>(bytes.size()));
    block.append(bytes);
}

void appendInteger(QByteArray& block, char item, qint32 value) {
    block.append(item);
    block.append(char(4));
    for (int shift = 0; shift < 32; shift += 8)
        block.append(static_cast<char>((value >> shift) & 0xFF));
}

// The settings the client library takes per connection, one per line, as in its configuration
// file.
QString configurationOf(const ConnectionOptions& options) {
    QStringList lines;
    if (options.wireCompression)
        lines << QStringLiteral("WireCompression=%1")
                     .arg(*options.wireCompression ? "true" : "false");
    if (!options.authPlugins.isEmpty())
        lines << QStringLiteral("AuthClient=") + options.authPlugins.join(QStringLiteral(", "));
    return lines.join(u'\n');
}

} // namespace

ConnectionOptions ConnectionOptions::FromLines(const QStringList& lines) {
    ConnectionOptions options;
    for (const QString& line : lines)
        takeLine(options, line);
    return options;
}

QByteArray ParameterBlock(const ConnectionOptions& options) {
    QByteArray block(1, char(isc_dpb_version1));
    if (options.user)
        appendText(block, isc_dpb_user_name, *options.user, "user_name");
    if (options.password)
        appendText(block, isc_dpb_password, *options.password, "password");
    if (options.role)
        appendText(block, isc_dpb_sql_role_name, *options.role, "role");
    if (options.sqlDialect)
        appendInteger(block, isc_dpb_sql_dialect, *options.sqlDialect);
    if (options.connectTimeoutSeconds) {
        if (*options.connectTimeoutSeconds < 0)
            throw invalidParameter(QStringLiteral("connect_timeout"));
        appendInteger(block, isc_dpb_connect_timeout, *options.connectTimeoutSeconds);
    }
    if (const QString configuration = configurationOf(options); !configuration.isEmpty())
        appendText(block, isc_dpb_config, configuration, "configuration");
    // Otherwise the client library converts the file name and the texts above from the locale's
    // character set, which fails for any letter beyond ASCII under LANG=C.
    block.append(char(isc_dpb_utf8_filename));
    block.append(char(0));
    return block;
}

} // namespace db
