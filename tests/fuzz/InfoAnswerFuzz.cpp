// The server's answers to information calls, read as the database layer reads them: an item at
// the top level, then a count inside the records item, and the version texts.

#include "FuzzCheck.h"
#include "db/Client.h"
#include "db/InfoAnswer.h"

#include <algorithm>

namespace {

// A value found must lie inside the answer, right behind its own code and length.
void CheckFound(QByteArrayView answer, char item, QByteArrayView value) {
    const qsizetype offset = value.data() - answer.data();
    Require(offset >= 3 && offset + value.size() <= answer.size(), "the value lies in the answer");
    Require(answer[offset - 3] == item, "the value follows its item code");
    const qsizetype length = static_cast<unsigned char>(answer[offset - 2]) |
                             static_cast<unsigned char>(answer[offset - 1]) << 8;
    Require(length == value.size(), "the value is as long as its length says");
}

void CheckNumber(QByteArrayView value) {
    const std::optional<qint64> number = db::InfoNumber(value);
    Require(number.has_value() == (value.size() <= 8), "numbers of up to 8 bytes are read");
    if (!number)
        return;
    for (qsizetype i = 0; i < value.size(); ++i)
        Require(static_cast<char>(static_cast<quint64>(*number) >> (8 * i)) == value[i],
                "the number holds the value's bytes, least significant first");
}

std::optional<QByteArrayView> Find(QByteArrayView answer, char item) {
    const auto value = db::FindInfoItem(answer, item);
    if (value) {
        CheckFound(answer, item, *value);
        CheckNumber(*value);
    }
    return value;
}

// Never longer than the texts' first, which cannot be longer than the value.
void CheckEngineVersion(QByteArrayView versions) {
    Require(db::EngineVersionOf(versions).size() <= std::max<qsizetype>(versions.size() - 2, 0),
            "the engine's version lies in the first text");
}

} // namespace

// The first byte picks the item; the rest is the answer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const char item = static_cast<char>(data[0]);
    const QByteArrayView answer = Bytes(data + 1, size - 1);
    Find(answer, item);
    if (const auto records = Find(answer, isc_info_sql_records))
        Find(*records, item);
    if (const auto versions = Find(answer, isc_info_firebird_version))
        CheckEngineVersion(*versions);
    return 0;
}
