// The pieces of diff that need no database: its groups and what reaches a terminal.

#include "cli/Diff.h"
#include "cli/TerminalText.h"

#include <gtest/gtest.h>

namespace {

using Kind = cli::DiffGroups::Kind;

QByteArray FedWhole(const QByteArray& bytes, qsizetype chunk) {
    cli::TerminalText text;
    QByteArray shown;
    for (qsizetype at = 0; at < bytes.size(); at += chunk)
        shown += text.Feed(bytes.mid(at, chunk));
    return shown + text.Finish();
}

// Whatever the chunks, escape sequences and lone carriage returns never reach the terminal,
// while text, tabs and CR LF line ends do.
TEST(TerminalText, ControlCharactersAreShownNotActedOn) {
    const QByteArray output = "+<a>\tč\r\n-\x1b[2J\x1b]0;title\x07 x\rhidden\n\xC2\x9B"
                              "31m\xFF\x7F";
    const QByteArray expected =
        "+<a>\tč\r\n-\\x1b[2J\\x1b]0;title\\x07 x\\x0dhidden\n\\u009b31m\xEF\xBF\xBD\\x7f";
    for (const qsizetype chunk : {1, 2, 3, 1000})
        EXPECT_EQ(FedWhole(output, chunk), expected) << chunk;
}

TEST(TerminalText, ALineWithoutEndIsPassedOnInParts) {
    cli::TerminalText text;
    const QByteArray shown = text.Feed(QByteArray(3 * cli::TerminalText::MaxLine + 10, 'a'));
    EXPECT_EQ(shown.size(), 3 * cli::TerminalText::MaxLine) << "the rest waits";
    EXPECT_EQ(text.Finish().size(), 10);
}

// FILE's group first, then the other versions in the order met, then no row and not reached.
TEST(DiffGroups, GroupByVersionInTheOrderMet) {
    cli::DiffGroups groups;
    const store::Fingerprint a{10, 1}, b{10, 2}, file{12, 3};
    groups.Add("unreached", Kind::Unreachable, {});
    groups.Add("b1", Kind::Other, b);
    groups.Add("none", Kind::NoRow, {});
    groups.Add("a1", Kind::Other, a);
    groups.Add("same", Kind::File, file);
    groups.Add("b2", Kind::Other, b);
    const std::vector<cli::DiffGroups::Group> ordered = groups.Groups();
    ASSERT_EQ(ordered.size(), 5u);
    EXPECT_EQ(ordered[0].kind, Kind::File);
    EXPECT_EQ(ordered[0].version, file);
    EXPECT_EQ(ordered[1].databases, QStringList({"b1", "b2"}));
    EXPECT_EQ(ordered[1].version, b);
    EXPECT_EQ(ordered[2].databases, QStringList({"a1"}));
    EXPECT_EQ(ordered[3].kind, Kind::NoRow);
    EXPECT_EQ(ordered[4].databases, QStringList({"unreached"}));
}

} // namespace
