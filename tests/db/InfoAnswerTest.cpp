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
