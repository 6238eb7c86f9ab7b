#include "DatasetFixture.h"

namespace {

class DatasetLocateTest : public testing::Test {
protected:
    void open(const std::string& idType, const std::vector<std::optional<std::string>>& ids) {
        scratch.execute("create table REPORTS (ID " + idType + ", DESCR blob, NOTE varchar(9))");
        int n = 0;
        for (const auto& id : ids)
            scratch.execute("insert into REPORTS (ID, NOTE) values (" +
                            (id ? "'" + *id + "'" : std::string("null")) + ", 'row " +
                            std::to_string(++n) + "')");
        list.IBReports.Open();
    }
    // Which inserted row is current.
    QString current() { return list.IBReports.FieldAsString("NOTE"); }

    fbtest::ScratchDatabase scratch;
    ReportList list{scratch.target()};
};

} // namespace

TEST_F(DatasetLocateTest, ExactCaseSensitiveMatchFirstInServerOrder) {
    open("varchar(20)",
         {"payorder_k", std::nullopt, "PAYORDER_K", "INVOICE", "INVOICE ", "INVOICE"});
    EXPECT_EQ(list.IBReports.RecordCount(), 1); // fetched only as far as a move needs
    ASSERT_TRUE(list.IBReports.Locate("ID", "PAYORDER_K"));
    EXPECT_EQ(current(), "row 3");
    EXPECT_EQ(list.IBReports.RecordCount(), 3);
    ASSERT_TRUE(list.IBReports.Locate("ID", "payorder_k"));
    EXPECT_EQ(current(), "row 1");

    for (const QString absent : {"VATDEC", "", "Invoice", " INVOICE"})
        EXPECT_FALSE(list.IBReports.Locate("ID", absent)) << absent.toStdString();
    EXPECT_EQ(list.IBReports.RecordCount(), 6); // the whole result fetched
    EXPECT_EQ(current(), "row 1");              // and the current row kept

    ASSERT_TRUE(list.IBReports.Locate("ID", "INVOICE"));
    EXPECT_EQ(current(), "row 4");
    ASSERT_TRUE(list.IBReports.Locate("ID", "INVOICE "));
    EXPECT_EQ(current(), "row 5");
    EXPECT_EQ(errorText([&] { list.IBReports.Locate("NAME", "X"); }),
              "IBReports: Field 'NAME' not found");
}

TEST_F(DatasetLocateTest, FixedLengthIdsMatchOnlyWithTheirPadding) {
    open("char(20)", {"PAYORDER_K"});
    EXPECT_FALSE(list.IBReports.Locate("ID", "PAYORDER_K"));
    EXPECT_TRUE(list.IBReports.Locate("ID", QString("PAYORDER_K").leftJustified(20)));
}

TEST_F(DatasetLocateTest, EmptyListFindsNothing) {
    open("varchar(20)", {});
    EXPECT_FALSE(list.IBReports.Locate("ID", "INVOICE"));
    EXPECT_EQ(list.IBReports.RecordCount(), 0);
}

TEST_F(DatasetLocateTest, ResultLargerThanOneCacheChunk) {
    scratch.execute("create table REPORTS (ID varchar(20), DESCR blob)");
    scratch.execute("execute block as declare i integer = 1; begin "
                    "while (i <= 2500) do begin "
                    "insert into REPORTS (ID) values ('R' || :i); i = i + 1; end end");
    list.IBReports.Open();
    ASSERT_TRUE(list.IBReports.Locate("ID", "R1500"));
    EXPECT_EQ(list.IBReports.RecordCount(), 1500);
    EXPECT_FALSE(list.IBReports.Locate("ID", "R0"));
    EXPECT_EQ(list.IBReports.RecordCount(), 2500);
    EXPECT_EQ(list.IBReports.FieldAsString("ID"), "R1500");
    ASSERT_TRUE(list.IBReports.Locate("ID", "R2500"));
    ASSERT_TRUE(list.IBReports.Locate("ID", "R1"));
}
