#include "DatasetFixture.h"
#include "db/Blob.h"
#include "support/FaultClient.h"

#include <map>

namespace {

// Contents whose sizes sit on and around the segment size and the copy buffer size.
std::map<std::string, QByteArray> Contents() {
    QByteArray everyByte(256, Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        everyByte[i] = static_cast<char>(i);
    std::map<std::string, QByteArray> contents{{"ALL256", everyByte}};
    int seed = 1;
    for (qsizetype size :
         {0, 1, 16383, 16384, 16385, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 * (1 << 20) + 12345})
        contents["SIZE" + std::to_string(size)] = RandomBytes(size, seed++);
    return contents;
}

// Binary and text BLOBs both move byte for byte.
class BlobRoundTripTest : public testing::TestWithParam<const char*> {
protected:
    BlobRoundTripTest() {
        scratch.execute(std::string("create table REPORTS (ID varchar(20), DESCR blob ") +
                        GetParam() + ")");
    }
    fbtest::ScratchDatabase scratch;
    const std::map<std::string, QByteArray> contents = Contents();
};

} // namespace

TEST_P(BlobRoundTripTest, PostedBytesAreStoredExactly) {
    for (const auto& [id, content] : contents)
        scratch.insertReport(id, QByteArray("old"));
    ReportList list(scratch.target());
    list.IBReports.Open();
    for (const auto& [id, content] : contents) {
        list.replace(QString::fromStdString(id), content);
        list.IBReports.Post();
        list.IBT.CommitRetaining();
    }
    for (const auto& [id, content] : contents) {
        // Empty content is stored as NULL.
        const std::optional<QByteArray> expected =
            content.isEmpty() ? std::nullopt : std::optional(content);
        EXPECT_EQ(Stored(scratch, id), expected) << id;
    }
}

TEST_P(BlobRoundTripTest, StoredBytesAreReadExactly) {
    for (const auto& [id, content] : contents)
        scratch.insertReport(id, content);
    scratch.insertReport("NULL_AFTER_CONTENT", std::nullopt);
    ReportList list(scratch.target());
    list.IBReports.Open();
    for (const auto& [id, content] : contents) {
        ASSERT_TRUE(list.IBReports.Locate("ID", QString::fromStdString(id)));
        EXPECT_EQ(list.read(), content) << id;
    }
    // The data area still holds the previous row's BLOB id: a NULL must not read it.
    ASSERT_TRUE(list.IBReports.Locate("ID", "NULL_AFTER_CONTENT"));
    EXPECT_TRUE(list.IBReports.FieldIsNull("DESCR"));
    EXPECT_EQ(list.read(), QByteArray());
}

INSTANTIATE_TEST_SUITE_P(SubTypes, BlobRoundTripTest, testing::Values("sub_type 0", "sub_type 1"),
                         [](const auto& info) { return info.index == 0 ? "Binary" : "Text"; });

TEST(BlobTransferTest, ContentOf2GiBOrMoreIsRefusedAndChangesNothing) {
    fbtest::ScratchDatabase scratch;
    scratch.execute("create table REPORTS (ID varchar(20), DESCR blob)");
    scratch.insertReport("INVOICE", QByteArray("stored"));
    ReportList list(scratch.target());
    list.IBReports.Open();
    ASSERT_TRUE(list.IBReports.Locate("ID", "INVOICE"));
    list.IBReports.Edit();
    auto writer = list.IBReports.CreateContentWriter("DESCR");
    writer->write("kept", 4);
    // The size is checked before a byte is taken from the buffer.
    EXPECT_NE(errorText([&] { writer->write("x", qint64(1) << 31); }).find("2 GiB"),
              std::string::npos);
    writer->close();
    EXPECT_EQ(list.read(), "kept");
}

// The real server cannot be made to fail a segment; the fault client can. A BLOB written part-way
// must be cancelled, never closed, so that no partial content is left behind to be referenced.
TEST(BlobTransferTest, ASegmentFailingPartWayCancelsTheBlobAndTheRowKeepsItsOwn) {
    fbtest::ScratchDatabase scratch;
    scratch.execute("create table REPORTS (ID varchar(20), DESCR blob)");
    scratch.insertReport("INVOICE", QByteArray("stored"));
    testbed::FaultClient faults;
    ReportList list(scratch.target(), DataModuleParams(), testbed::FaultClient::Path());
    list.IBReports.Open();
    list.replace("INVOICE", RandomBytes(3 * db::BlobSegmentSize, 1));
    faults.reset();
    faults.fail("isc_put_segment", 2, isc_virmemexh);
    EXPECT_EQ(errorText([&] { list.IBReports.Post(); }),
              "unable to allocate memory from operating system");
    EXPECT_EQ(faults.calls("isc_put_segment"), 2);
    EXPECT_EQ(faults.calls("isc_cancel_blob"), 1);
    EXPECT_EQ(faults.calls("isc_close_blob"), 0);
    EXPECT_EQ(faults.calls("isc_dsql_execute"), 0); // the update never ran
    EXPECT_EQ(list.IBReports.state(), db::Dataset::State::Edit);

    list.IBT.RollbackRetaining();
    list.IBReports.Cancel();
    list.IBT.CommitRetaining();
    EXPECT_EQ(Stored(scratch, "INVOICE"), "stored");
    EXPECT_EQ(list.read(), "stored");
}
