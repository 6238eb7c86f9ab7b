#pragma once

#include "Client.h"

#include <QByteArray>
#include <QtGlobal>
#include <functional>
#include <memory>

namespace db {

class Database;
class Transaction;

// Whole-BLOB transfers in segments of 16,384 bytes. Every BLOB handle is closed (or, when writing
// fails part-way, cancelled) before these return, on every path.
inline constexpr int BlobSegmentSize = 16384;

// The largest segment the client library takes: its length travels as an unsigned short. Over
// a slow link each segment written costs a round trip, and each read fetches at most the
// caller's buffer.
inline constexpr int LargestBlobSegment = 65535;

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

class BlobHandle;

// A stored BLOB read piece by piece in segments of up to segmentSize bytes, never held whole.
// The handle is closed when this goes.
class BlobReader {
public:
    BlobReader(Transaction& transaction, const ISC_QUAD& id, int segmentSize);
    ~BlobReader();
    BlobReader(const BlobReader&) = delete;
    BlobReader& operator=(const BlobReader&) = delete;

    // The length the server reported.
    qint64 size() const { return total_; }
    // Up to max bytes; 0 at the end. Raises when the BLOB ends before its reported length.
    qint64 read(char* buffer, qint64 max);

private:
    std::unique_ptr<BlobHandle> blob_;
    const int segmentSize_;
    qint64 total_ = 0;
    qint64 done_ = 0;
};

// A new BLOB written piece by piece in full segments of segmentSize bytes, whatever the sizes
// written. Cancelled when this goes before close(), so a partly written BLOB never survives.
class BlobWriter {
public:
    BlobWriter(Transaction& transaction, const QByteArray& parameterBlock, int segmentSize);
    ~BlobWriter();
    BlobWriter(const BlobWriter&) = delete;
    BlobWriter& operator=(const BlobWriter&) = delete;

    void write(const char* data, qint64 count);
    // Sends what is left and returns the new BLOB's id.
    ISC_QUAD close();

private:
    void flush();

    std::unique_ptr<BlobHandle> blob_;
    QByteArray segment_;
    const int segmentSize_;
    qint64 written_ = 0;
    ISC_QUAD id_{};
};

// The parameter block that names the column a new BLOB is meant for, so the server gives it the
// column's sub-type and character set; empty for a database too old to know these items or
// when either name is unknown.
QByteArray TargetColumnParameterBlock(const Database& database, const QString& relation,
                                      const QString& column);

} // namespace db
