#pragma once

#include <QString>
#include <QStringList>

namespace db {

// A statement text with its named parameters replaced by positional "?" placeholders.
struct PositionalSql {
    QString text;
    // The name of each placeholder, in order: trimmed and upper-cased. A "?" with no name after it
    // is named "?" + its 1-based position among all placeholders, so it never shares a value.
    QStringList names;
};

// Rewrites ":NAME", ":"quoted name"" and "?NAME" outside quoted strings and /* */ comments.
// Fails with "SQL Parse Error:\r\n\r\n" + "Parameter name expected", "EOF in comment detected"
// or "EOF in string detected".
PositionalSql RewriteParams(const QString& sql);

} // namespace db
