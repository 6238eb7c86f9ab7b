#pragma once

#include "Client.h"

#include <QByteArray>
#include <QtGlobal>

namespace db {

class Transaction;

// Whole-BLOB transfers in segments of 16,384 bytes. Every BLOB handle is closed (or, when writing
// fails part-way, cancelled) before these return, on every path.
inline constexpr int BlobSegmentSize = 16384;

// Content is held whole in memory with 32-bit signed sizes.
inline constexpr qint64 MaxContentSize = 0x7FFFFFFF;
// Raises a clear error when content of this size cannot be held.
void CheckContentSize(qint64 size);

// Reads the BLOB with this id whole, byte for byte, with no character-set conversion.
QByteArray ReadBlob(Transaction& transaction, const ISC_QUAD& id);
// Creates a new BLOB holding these bytes and returns its id. No segment for empty content. The
// parameter block, when not empty, is sent as it is.
ISC_QUAD WriteBlob(Transaction& transaction, const QByteArray& content,
                   const QByteArray& parameterBlock = {});

} // namespace db
