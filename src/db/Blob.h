#pragma once

#include "Client.h"

#include <QByteArray>
#include <QtGlobal>
#include <functional>

namespace db {

class Transaction;

// Whole-BLOB transfers in segments of 16,384 bytes. Every BLOB handle is closed (or, when writing
// fails part-way, cancelled) before these return, on every path.
inline constexpr int BlobSegmentSize = 16384;

// Content is held whole in memory with 32-bit signed sizes.
inline constexpr qint64 MaxContentSize = 0x7FFFFFFF;
// Raises a clear error when content of this size cannot be held.
void CheckContentSize(qint64 size);

// Told the bytes moved so far and the whole length after every segment. It may throw to stop the
// transfer; the BLOB handle is released as on any failure.
using TransferProgress = std::function<void(qint64 done, qint64 total)>;

// Hands the BLOB with this id to the sink segment by segment, byte for byte, with no character-set
// conversion. Raises when it ends before the length the server reported.
void StreamBlob(Transaction& transaction, const ISC_QUAD& id,
                const std::function<void(const char* data, qint64 count)>& sink,
                const TransferProgress& progress = {});
// The same BLOB whole, in one buffer of its exact length.
QByteArray ReadBlob(Transaction& transaction, const ISC_QUAD& id,
                    const TransferProgress& progress = {});
// Creates a new BLOB holding these bytes and returns its id. No segment for empty content. The
// parameter block, when not empty, is sent as it is.
ISC_QUAD WriteBlob(Transaction& transaction, const QByteArray& content,
                   const QByteArray& parameterBlock = {}, const TransferProgress& progress = {});

} // namespace db
