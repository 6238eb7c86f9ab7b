#include "Blob.h"

#include "Database.h"
#include "Error.h"
#include "InfoAnswer.h"
#include "Transaction.h"

#include <algorithm>

namespace db {
namespace {

bool Failed(const ISC_STATUS* status) {
    return status[0] == 1 && status[1] != 0;
}

// InterBase's BLOB parameter items naming the column a new BLOB is meant for.
constexpr char TargetRelationName = 7;
constexpr char TargetFieldName = 8;
constexpr int FirstOdsWithTargetItems = 18;

void AppendItem(QByteArray& block, char item, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit().left(255);
    block.append(item);
    block.append(static_cast<char>(bytes.size()));
    block.append(bytes);
}

} // namespace

// One open BLOB. Closed explicitly once the transfer is complete; on any other path the destructor
// releases the handle: a BLOB being read is closed, one being written is cancelled, so a partly
// written BLOB never survives.
class BlobHandle {
public:
    enum class Abandon { Close, Cancel };

    BlobHandle(Transaction& transaction, Abandon abandon)
        : transaction_(transaction), database_(transaction.database()), client_(database_.client()),
          abandon_(abandon) {
        database_.CheckActive();
        if (!transaction_.Active())
            throw Error("Transaction is not active");
    }
    ~BlobHandle() {
        if (handle_ == 0)
            return;
        ISC_STATUS_ARRAY status;
        if (abandon_ == Abandon::Cancel)
            client_.cancel_blob(status, &handle_);
        else
            client_.close_blob(status, &handle_);
    }
    BlobHandle(const BlobHandle&) = delete;
    BlobHandle& operator=(const BlobHandle&) = delete;

    void create(ISC_QUAD& id, const QByteArray& parameterBlock) {
        client_.create_blob2(status_, database_.handle(), transaction_.handle(), &handle_, &id,
                             static_cast<short>(parameterBlock.size()),
                             parameterBlock.isEmpty() ? nullptr : parameterBlock.constData());
        check();
    }
    // No parameter block: the bytes come back exactly as stored, with no transliteration.
    void open(ISC_QUAD id) {
        client_.open_blob2(status_, database_.handle(), transaction_.handle(), &handle_, &id, 0,
                           nullptr);
        check();
    }
    QByteArray info(const QByteArray& items, short answerSize) {
        QByteArray answer(answerSize, '\0');
        client_.blob_info(status_, &handle_, static_cast<short>(items.size()), items.constData(),
                          answerSize, answer.data());
        check();
        return answer;
    }
    // Returns the bytes read, or -1 at the end of the BLOB. A segment longer than the buffer
    // yields the part that fits; the rest comes with the next call.
    int getSegment(char* buffer, int max) {
        unsigned short read = 0;
        const ISC_STATUS result =
            client_.get_segment(status_, &handle_, &read, static_cast<unsigned short>(max), buffer);
        if (result == isc_segstr_eof)
            return -1;
        if (result != isc_segment)
            check();
        return read;
    }
    void putSegment(const char* data, int count) {
        client_.put_segment(status_, &handle_, static_cast<unsigned short>(count), data);
        check();
    }
    void close() {
        client_.close_blob(status_, &handle_);
        check();
    }

private:
    void check() {
        if (Failed(status_))
            database_.RaiseStatus(status_);
    }

    Transaction& transaction_;
    Database& database_;
    Client& client_;
    const Abandon abandon_;
    isc_blob_handle handle_ = 0;
    ISC_STATUS_ARRAY status_{};
};

namespace {

qint64 TotalLength(BlobHandle& blob) {
    static const char items[] = {isc_info_blob_num_segments, isc_info_blob_max_segment,
                                 isc_info_blob_total_length, isc_info_blob_type};
    const QByteArray answer = blob.info(QByteArray(items, sizeof items), 100);
    if (const auto value = FindInfoItem(answer, isc_info_blob_total_length))
        if (const auto length = InfoNumber(*value)) {
            CheckContentSize(*length);
            return *length;
        }
    throw Error("The server did not report the BLOB's length");
}

// Reads segments until the whole length is in, each into the place `next` gives; next(done, read)
// is told each segment and returns where the following one goes.
template <class Next> void ReadSegments(BlobHandle& blob, qint64 total, char* first, Next next) {
    char* into = first;
    for (qint64 done = 0; done < total;) {
        const int max = static_cast<int>(std::min<qint64>(BlobSegmentSize, total - done));
        const int read = blob.getSegment(into, max);
        // Short content would reach a backup as if it were the whole layout.
        if (read < 0)
            throw Error("The BLOB ended before the length the server reported");
        done += read;
        into = next(done, read);
    }
}

} // namespace

void CheckContentSize(qint64 size) {
    if (size < 0 || size > MaxContentSize)
        throw Error(QStringLiteral("Content of %1 bytes is too large: only contents under 2 GiB "
                                   "can be handled")
                        .arg(size)
                        .toStdString());
}

void StreamBlob(Transaction& transaction, const ISC_QUAD& id,
                const std::function<void(const char* data, qint64 count)>& sink,
                const TransferProgress& progress) {
    BlobHandle blob(transaction, BlobHandle::Abandon::Close);
    blob.open(id);
    const qint64 total = TotalLength(blob);
    char segment[BlobSegmentSize];
    ReadSegments(blob, total, segment, [&](qint64 done, int read) {
        sink(segment, read);
        if (progress)
            progress(done, total);
        return segment;
    });
    blob.close();
}

QByteArray ReadBlob(Transaction& transaction, const ISC_QUAD& id,
                    const TransferProgress& progress) {
    BlobHandle blob(transaction, BlobHandle::Abandon::Close);
    blob.open(id);
    const qint64 total = TotalLength(blob);
    // Sized once from the server's length and read straight into place.
    QByteArray content(static_cast<qsizetype>(total), Qt::Uninitialized);
    ReadSegments(blob, total, content.data(), [&](qint64 done, int) {
        if (progress)
            progress(done, total);
        return content.data() + done;
    });
    blob.close();
    return content;
}

ISC_QUAD WriteBlob(Transaction& transaction, const QByteArray& content,
                   const QByteArray& parameterBlock, const TransferProgress& progress) {
    CheckContentSize(content.size());
    BlobHandle blob(transaction, BlobHandle::Abandon::Cancel);
    ISC_QUAD id{};
    blob.create(id, parameterBlock);
    for (qsizetype pos = 0; pos < content.size();) {
        const auto count = std::min<qsizetype>(BlobSegmentSize, content.size() - pos);
        blob.putSegment(content.constData() + pos, static_cast<int>(count));
        pos += count;
        if (progress)
            progress(pos, content.size());
    }
    blob.close();
    return id;
}

BlobReader::BlobReader(Transaction& transaction, const ISC_QUAD& id, int segmentSize)
    : blob_(std::make_unique<BlobHandle>(transaction, BlobHandle::Abandon::Close)),
      segmentSize_(segmentSize) {
    blob_->open(id);
    total_ = TotalLength(*blob_);
}

BlobReader::~BlobReader() = default;

qint64 BlobReader::read(char* buffer, qint64 max) {
    const int wanted = static_cast<int>(std::min<qint64>({max, segmentSize_, total_ - done_}));
    if (wanted <= 0)
        return 0;
    const int read = blob_->getSegment(buffer, wanted);
    if (read < 0)
        throw Error("The BLOB ended before the length the server reported");
    done_ += read;
    return read;
}

BlobWriter::BlobWriter(Transaction& transaction, const QByteArray& parameterBlock, int segmentSize)
    : blob_(std::make_unique<BlobHandle>(transaction, BlobHandle::Abandon::Cancel)),
      segmentSize_(segmentSize) {
    blob_->create(id_, parameterBlock);
    segment_.reserve(segmentSize);
}

BlobWriter::~BlobWriter() = default;

void BlobWriter::write(const char* data, qint64 count) {
    CheckContentSize(written_ + count);
    written_ += count;
    while (count > 0) {
        const auto taken = std::min<qint64>(count, segmentSize_ - segment_.size());
        segment_.append(data, static_cast<qsizetype>(taken));
        data += taken;
        count -= taken;
        if (segment_.size() == segmentSize_)
            flush();
    }
}

void BlobWriter::flush() {
    if (segment_.isEmpty())
        return;
    blob_->putSegment(segment_.constData(), static_cast<int>(segment_.size()));
    segment_.clear();
}

ISC_QUAD BlobWriter::close() {
    flush();
    blob_->close();
    return id_;
}

QByteArray TargetColumnParameterBlock(const Database& database, const QString& relation,
                                      const QString& column) {
    if (database.OdsMajorVersion() < FirstOdsWithTargetItems || relation.isEmpty() ||
        column.isEmpty())
        return {};
    QByteArray block(1, char(isc_bpb_version1));
    AppendItem(block, TargetRelationName, relation);
    AppendItem(block, TargetFieldName, column);
    return block;
}

} // namespace db
