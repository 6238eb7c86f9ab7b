#pragma once

#include "Client.h"

#include <QByteArray>

namespace db {

class Transaction;

// Whole-BLOB transfers in segments of 16,384 bytes. Every BLOB handle is closed (or, when writing
// fails part-way, cancelled) before these return, on every path.
inline constexpr int BlobSegmentSize = 16384;

// Reads the BLOB with this id whole, byte for byte, with no character-set conversion.
QByteArray ReadBlob(Transaction& transaction, const ISC_QUAD& id);
// Creates a new BLOB holding these bytes and returns its id. No segment for empty content.
ISC_QUAD WriteBlob(Transaction& transaction, const QByteArray& content);

} // namespace db
