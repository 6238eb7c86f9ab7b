#include "CommitCheck.h"

#include "ReportsTable.h"
#include "db/Blob.h"
#include "db/Database.h"
#include "db/Statement.h"
#include "db/Transaction.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace dbstore {
namespace {

// The new attachment's wait for a server that does not answer.
constexpr int ConnectTimeoutSeconds = 5;
// A server that was stopped mid-commit finishes it and drops the old attachment soon after it
// runs again.
constexpr auto GoneWithin = std::chrono::seconds(10);
constexpr auto PollEvery = std::chrono::milliseconds(100);

// Each statement sees what was committed when it began; the monitoring tables are read afresh
// in each transaction.
constexpr char ReadCommittedItems[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed,
                                       isc_tpb_rec_version, isc_tpb_nowait};
const QByteArray ReadCommitted(ReadCommittedItems, sizeof ReadCommittedItems);

bool AttachmentPresent(db::Database& probe, qint64 attachment) {
    db::Transaction look(probe, ReadCommitted);
    look.StartTransaction();
    db::Statement query(probe, look);
    query.Prepare(QStringLiteral("select 1 from MON$ATTACHMENTS where MON$ATTACHMENT_ID = %1")
                      .arg(attachment));
    query.Execute();
    return query.Fetch();
}

void AwaitGone(db::Database& probe, qint64 attachment) {
    const auto deadline = std::chrono::steady_clock::now() + GoneWithin;
    while (AttachmentPresent(probe, attachment)) {
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("the connection that sent the commit is still open there");
        std::this_thread::sleep_for(PollEvery);
    }
}

store::ContentDigest StoredDigest(db::Database& probe, const QString& reportId) {
    db::Transaction reading(probe, ReadCommitted);
    reading.StartTransaction();
    const auto row =
        reports::SelectRow(probe, reading, reportId, reports::Content, {reports::BlobColumn()});
    if (!row)
        throw std::runtime_error("the layout's row is gone");
    const db::Value& content = (*row)[0];
    store::DigestSink digest;
    if (!content.null) {
        ISC_QUAD id;
        std::memcpy(&id, content.data.constData(), sizeof id);
        db::StreamBlob(reading, id,
                       [&](const char* data, qint64 count) { digest.write(data, count); });
    }
    return digest.result();
}

} // namespace

store::ContentDigest StoredAfterLostConnection(const db::Database& lost, const QString& reportId) {
    db::Database probe(lost.client());
    probe.DatabaseName = lost.DatabaseName;
    probe.Options = lost.Options;
    probe.Options.connectTimeoutSeconds = ConnectTimeoutSeconds;
    probe.Open();
    AwaitGone(probe, lost.AttachmentId());
    return StoredDigest(probe, reportId);
}

} // namespace dbstore
