// Information answers come from the other side: a length that runs past the answer must end the
// search, never a read beyond the buffer.

#include "db/InfoAnswer.h"

#include <QByteArray>

#include <gtest/gtest.h>
#include <ibase.h>

using db::FindInfoItem;
using db::InfoNumber;

namespace {

QByteArray Answer(std::initializer_list<int> bytes) {
    QByteArray answer;
    for (int byte : bytes)
        answer.append(char(byte));
    return answer;
}

} // namespace

TEST(InfoAnswer, FindsItemsAndTheirLittleEndianValues) {
    // An update count of 258 inside the records item, behind a select count.
    const QByteArray answer =
        Answer({isc_info_sql_records, 14, 0, isc_info_req_select_count, 4, 0, 7, 0, 0, 0,
                isc_info_req_update_count, 4, 0, 2, 1, 0, 0, isc_info_end, isc_info_end});
    const auto records = FindInfoItem(answer, isc_info_sql_records);
    ASSERT_TRUE(records);
    EXPECT_EQ(InfoNumber(*FindInfoItem(*records, isc_info_req_select_count)), 7);
    EXPECT_EQ(InfoNumber(*FindInfoItem(*records, isc_info_req_update_count)), 258);
    EXPECT_FALSE(FindInfoItem(*records, isc_info_req_delete_count));
    EXPECT_EQ(InfoNumber(QByteArrayView("\xFF\xFF\xFF\x7F", 4)), 0x7FFFFFFF);
    EXPECT_FALSE(InfoNumber(QByteArrayView("123456789", 9)));
}

TEST(InfoAnswer, LengthsRunningPastTheAnswerFindNothing) {
    // A claimed length of 0xFFFF, and one a single byte too long.
    EXPECT_FALSE(
        FindInfoItem(Answer({isc_info_sql_records, 0xFF, 0xFF, 0, 0, 0}), isc_info_sql_records));
    EXPECT_FALSE(FindInfoItem(
        Answer({isc_info_blob_num_segments, 2, 0, 1, 0, isc_info_blob_total_length, 4, 0, 1, 2, 3}),
        isc_info_blob_total_length));
    // Clusters cut short, or after the end or truncation mark.
    EXPECT_FALSE(FindInfoItem(Answer({isc_info_blob_total_length, 4}), isc_info_blob_total_length));
    EXPECT_FALSE(FindInfoItem(Answer({isc_info_truncated, isc_info_blob_total_length, 1, 0, 9}),
                              isc_info_blob_total_length));
    EXPECT_FALSE(FindInfoItem(Answer({isc_info_end, isc_info_blob_total_length, 1, 0, 9}),
                              isc_info_blob_total_length));
}

// Firebird 2.5 to 5 on Linux and Windows; the network layers' texts that follow are the client's
// and the wire's, never the engine's.
TEST(InfoAnswer, TheEngineVersionIsTheFirstTextsNumber) {
    const auto versions = [](std::initializer_list<QByteArray> texts) {
        QByteArray answer(1, char(texts.size()));
        for (const QByteArray& text : texts)
            answer += char(text.size()) + text;
        return answer;
    };
    EXPECT_EQ(db::EngineVersionOf(versions({"LI-V3.0.11.33703 Firebird 3.0",
                                            "LI-V3.0.11.33703 Firebird 3.0/tcp (h)/P15:CZ",
                                            "LI-V4.0.5.3140 Firebird 4.0/tcp (h)/P15:CZ"})),
              "3.0.11");
    EXPECT_EQ(db::EngineVersionOf(versions({"WI-V2.5.9.27139 Firebird 2.5"})), "2.5.9");
    EXPECT_EQ(db::EngineVersionOf(versions({"LI-T6.0.0.1 Firebird 6.0 Initial"})), "6.0.0");
    EXPECT_EQ(db::EngineVersionOf(versions({"an unknown form"})), "an unknown form");
    EXPECT_EQ(db::EngineVersionOf(versions({})), "");
    EXPECT_EQ(db::EngineVersionOf(""), "");
    // A length past the answer's end keeps to the answer.
    EXPECT_EQ(db::EngineVersionOf(QByteArray("\x01\x7FLI-V4.0.5", 11)), "4.0.5");
}
