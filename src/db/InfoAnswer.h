#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <optional>

namespace db {

// The answer of an information call (database, statement, BLOB): clusters of an item code, a
// 2-byte little-endian length and that many value bytes, up to an end or truncation mark. The
// lengths come from the other side, so none is trusted to stay inside the answer.

// The value bytes of the first cluster with this code; none when it is absent or a length
// runs past the answer before it.
std::optional<QByteArrayView> FindInfoItem(QByteArrayView answer, char item);
// A value as an unsigned little-endian number of at most 8 bytes; none when longer.
std::optional<qint64> InfoNumber(QByteArrayView value);
// The engine's version in a database's version texts (a count, then texts behind a one-byte
// length, the engine's first: "LI-V4.0.5.3140 Firebird 4.0"), as the server's ENGINE_VERSION
// context variable gives it ("4.0.5"); the first text itself where it has another form, and
// empty when there is none.
QString EngineVersionOf(QByteArrayView versions);

} // namespace db
