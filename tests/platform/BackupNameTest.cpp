#include "platform/BackupName.h"
#include "platform/Files.h"

#include <gtest/gtest.h>
#include <ostream>

namespace platform {
void PrintTo(const BackupNameParts& parts, std::ostream* out) {
    *out << parts.reportId.toStdString() << " " << parts.stamp.toStdString() << " "
         << parts.attempt;
}
} // namespace platform

using platform::BackupFileName;
using platform::BackupNameParts;
using platform::ParseBackupFileName;

TEST(BackupName, ParsesWhatTheNameRuleWritesBackIntoItsParts) {
    const BackupNameParts cases[] = {
        {"PAYORDER_K", "230922080503", 1},
        {"PAYORDER_K", "230922080503", 2},
        {"VAT_2023", "000101000000", platform::BackupFile::MaxAttempt},
        {"INVOICE", "230922080503", 100},
        // Identifiers that end like a stamp or an attempt: only the last run counts.
        {"A_111111111111", "222222222222", 1},
        {"A_230922080503_2", "230922080503", 10},
        {"X_", "230922080503", 1},
        {"Фактура", "230922080503", 3},
    };
    for (const BackupNameParts& parts : cases) {
        const QString name = BackupFileName(parts.reportId, parts.stamp, parts.attempt);
        EXPECT_EQ(ParseBackupFileName(name), parts) << name.toStdString();
    }
}

TEST(BackupName, RefusesEveryOtherName) {
    const QString refused[] = {
        "",
        "B_.FR3",
        "B__230922080503.FR3",                   // no identifier
        "B_230922080503.FR3",                    // nor here: the stamp is all there is
        "B_INVOICE_23092208050.FR3",             // 11 digits
        "B_INVOICE_2309220805031.FR3",           // 13 digits
        "B_INVOICE230922080503.FR3",             // no separator before the stamp
        "B_INVOICE_23092208050x.FR3",            // not a digit
        "B_INVOICE_٢٣٠٩٢٢٠٨٠٥٠٣.FR3",            // digits, but not ASCII ones
        "B_INVOICE_230922080503_1.FR3",          // the first attempt has no suffix
        "B_INVOICE_230922080503_02.FR3",         // leading zero
        "B_INVOICE_230922080503_1000000000.FR3", // past the last attempt
        "B_INVOICE_230922080503_.FR3",
        "B_INVOICE_230922080503.fr3",
        "b_INVOICE_230922080503.FR3",
        "B_INVOICE_230922080503.FR3.bak",
        "backups/B_INVOICE_230922080503.FR3",
    };
    for (const QString& name : refused)
        EXPECT_EQ(ParseBackupFileName(name), std::nullopt) << name.toStdString();
}
