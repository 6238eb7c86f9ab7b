#pragma once

#include "core/Replacement.h"

#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace cli {

// One line, flushed at once: standard output may be a log file that must keep every line done so
// far.
void Print(std::FILE* stream, const QString& line);

// The database's message lines end in CR LF; logs and JSON want plain line ends.
QString PlainLines(const QString& text);

// "korvex-reports: <target>: <text>": a failure on one database.
QString ErrorLine(const QString& target, const QString& text);

// "12 bytes (SHA-256 ...)".
QString Describe(const store::ContentDigest& digest);

// Names the database engine the store reached as "engine", and whether its traffic is compressed
// as "compressed", where it reached one.
void InsertConnection(QJsonObject& fields, const store::LayoutStore& layouts);

// An identifier within a line of its own or of tab-separated fields: a backslash, line break,
// carriage return or tab in it is written \\, \n, \r or \t.
QString Escaped(const QString& text);

} // namespace cli
