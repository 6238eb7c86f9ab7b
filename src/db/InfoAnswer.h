#pragma once

#include <QByteArrayView>
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

} // namespace db
