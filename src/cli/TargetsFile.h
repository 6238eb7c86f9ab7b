#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <stdexcept>

namespace cli {

// One line of a targets file: `TARGET [user=NAME] [password-file=PATH]`, words separated by
// blanks. Double quotes keep blanks within a word; inside them \" is a quote and \\ a backslash,
// and no other backslash may stand. Outside quotes a backslash is an ordinary character, as in
// the path of a database on a Windows server.
struct TargetLine {
    int line = 0; // its number in the file, from 1
    QString database;
    std::optional<QString> user;
    std::optional<QString> passwordFile; // as written: a relative one is the caller's to place
};

// A targets file that cannot be read as one: what() is "FILE:LINE: problem", in UTF-8. It never
// quotes a value, which could be a password written where it must not stand.
class TargetsFileError : public std::runtime_error {
public:
    explicit TargetsFileError(const QString& text);
};

// The line's target and login parts, or nothing for a blank line or a comment (a line starting
// with #). Throws TargetsFileError naming the file and the line.
std::optional<TargetLine> ParseTargetLine(const QString& line, const QString& file, int number);

// Every target of the file's bytes, in order. They are UTF-8, as Windows writes it too: a
// byte-order mark and CR LF line ends are taken. UTF-16, a NUL byte or bytes that are not UTF-8
// throw TargetsFileError naming the line.
QList<TargetLine> ParseTargets(const QByteArray& content, const QString& file);

} // namespace cli
