// The window's layout commands as the design-time list gives them.

#include "gui/ReportCommands.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <stdexcept>

TEST(ReportCommandsTest, TheMenuOffersTheEightLayoutsOfTheProduct) {
    QStringList pairs;
    for (const ReportCommand& command : ReportCommands())
        pairs << command.action + u'=' + command.reportId;
    EXPECT_EQ(pairs, QStringList({"N4=PAYORDER_K", "N7=PAYORDER_B", "N10=BILLBEFORE", "N11=INVOICE",
                                  "N16=VATBAY", "N17=VATSELL", "N2=VATDEC", "RPTBILL1=RPTBILL"}));
}

// A line the list cannot be read from must stop the start, not drop a layout from the menu.
TEST(ReportCommandsTest, AMalformedLineIsRefusedByItsNumber) {
    EXPECT_EQ(ParseReportCommands("# note\n\nN4\tPAYORDER_K\n").size(), 1u);
    for (const char* text : {"N4\tPAYORDER_K\nN7 PAYORDER_B\n", "N4\tPAYORDER_K\nN7\n",
                             "N4\tPAYORDER_K\nN7\tA\tB\n"}) {
        try {
            ParseReportCommands(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const std::runtime_error& error) {
            EXPECT_TRUE(QString(error.what()).startsWith("ReportCommands.txt, line 2: "))
                << error.what();
        }
    }
}
