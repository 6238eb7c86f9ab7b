// Backup file names: the parser is the exact inverse of the name rule, both ways round.

#include "FuzzCheck.h"
#include "platform/BackupName.h"
#include "platform/Files.h"

namespace {

// Whatever parses is written back to the very same name.
void ParseThenWrite(const QString& name) {
    const auto parts = platform::ParseBackupFileName(name);
    if (parts)
        Require(platform::BackupFileName(parts->reportId, parts->stamp, parts->attempt) == name,
                "a parsed name is written back unchanged");
}

// A name written from an identifier, a stamp and an attempt gives them back. The first byte
// picks the attempt, the next 12 the stamp's digits, the rest is the identifier.
void WriteThenParse(const uint8_t* data, size_t size) {
    constexpr size_t StampLength = 12;
    if (size < 2 + StampLength)
        return;
    const int attempt = 1 + data[0] * 3921 % platform::BackupFile::MaxAttempt;
    QString stamp;
    for (size_t i = 1; i <= StampLength; ++i)
        stamp += QChar(u'0' + data[i] % 10);
    const QString reportId = Text(data + 1 + StampLength, size - 1 - StampLength);
    const auto parts =
        platform::ParseBackupFileName(platform::BackupFileName(reportId, stamp, attempt));
    Require(parts == platform::BackupNameParts{reportId, stamp, attempt},
            "a written name is parsed into its parts");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ParseThenWrite(Text(data, size));
    WriteThenParse(data, size);
    return 0;
}
