// The rewriting of named parameters, on any statement text.

#include "FuzzCheck.h"
#include "db/Error.h"
#include "db/SqlParams.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString sql = Text(data, size);
    db::PositionalSql rewritten;
    try {
        rewritten = db::RewriteParams(sql);
    } catch (const db::Error& error) {
        const std::string_view text = error.what();
        Require(text == "SQL Parse Error:\r\n\r\nParameter name expected" ||
                    text == "SQL Parse Error:\r\n\r\nEOF in comment detected" ||
                    text == "SQL Parse Error:\r\n\r\nEOF in string detected",
                "a parse error is one of the three texts");
        return 0;
    }
    // Every placeholder replaces at least its marker, and writes one "?".
    Require(rewritten.text.size() <= sql.size(), "the text never grows");
    const qsizetype marks = rewritten.text.count(u'?');
    Require(rewritten.names.size() <= marks, "each name has its own \"?\"");
    // Then every "?" in the text is a placeholder: the server sees exactly one per name.
    if (!sql.contains(u'?'))
        Require(marks == rewritten.names.size(), "no \"?\" without a name");
    for (const QString& name : rewritten.names)
        Require(name == name.trimmed(), "names are trimmed");
    return 0;
}
