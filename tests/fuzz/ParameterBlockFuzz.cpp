// The connection parameter lines, one per input line, turned into an attach parameter block.

#include "FuzzCheck.h"
#include "db/Client.h"
#include "db/Database.h"
#include "db/Error.h"

#include <QStringList>
#include <algorithm>
#include <string>

namespace {

// The block is its version, then one (item, length, value) cluster per line, then the UTF-8 flag,
// nothing else.
void CheckBlock(const QByteArray& block, const QStringList& lines) {
    Require(!block.isEmpty() && block[0] == isc_dpb_version1, "the block starts with version 1");
    qsizetype pos = 1;
    qsizetype clusters = 0;
    const char flag[] = {isc_dpb_utf8_filename, 0};
    const QByteArrayView utf8Flag(flag, sizeof flag);
    Require(block.endsWith(utf8Flag), "the block ends with the UTF-8 file-name flag");
    const qsizetype end = block.size() - utf8Flag.size();
    while (pos < end) {
        Require(pos + 2 <= end, "a cluster has its item and length");
        const char item = block[pos];
        const qsizetype length = static_cast<unsigned char>(block[pos + 1]);
        Require(
            item == isc_dpb_user_name || item == isc_dpb_password || item == isc_dpb_config ||
                ((item == isc_dpb_sql_dialect || item == isc_dpb_connect_timeout) && length == 4),
            "only the user, the password, the configuration, a 4-byte dialect and connect timeout");
        pos += 2 + length;
        ++clusters;
    }
    Require(pos == end, "the last cluster ends before the flag");
    Require(clusters == lines.size(), "one cluster per line");
}

// The text refusing this line, as far as what() shows it: up to a NUL.
std::string Refusal(const QString& line) {
    const std::string text =
        "Invalid connection parameter: " + line.section(u'=', 0, 0).trimmed().toStdString();
    return text.substr(0, text.find('\0'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList lines = size ? Text(data, size).split(u'\n') : QStringList();
    QByteArray block;
    try {
        block = db::ParameterBlock(db::ConnectionOptions::FromLines(lines));
    } catch (const db::Error& error) {
        Require(std::any_of(lines.begin(), lines.end(),
                            [&](const QString& line) { return Refusal(line) == error.what(); }),
                "a refusal names a line's parameter, never its value");
        return 0;
    }
    CheckBlock(block, lines);
    return 0;
}
