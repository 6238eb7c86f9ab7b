#pragma once

#include <QByteArray>

namespace cli {

// A program's output made safe for a terminal, a line at a time: a control character (an escape
// sequence's start, a lone carriage return, a C1 control) is shown as \xNN or \uNNNN instead of
// acting on the terminal; bytes that are not UTF-8 come out as U+FFFD. A line, tabs and the CR
// before its LF are kept. A line longer than MaxLine is passed on in parts, so a binary file
// without line breaks does not fill memory.
class TerminalText {
public:
    static constexpr qsizetype MaxLine = 65536;

    // What of the bytes can be shown now.
    QByteArray Feed(const QByteArray& bytes);
    // The rest, at the end of the output.
    QByteArray Finish();

private:
    QByteArray pending_;
};

} // namespace cli
