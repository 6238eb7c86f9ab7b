#pragma once

#include "db/Blob.h"

#include <QByteArray>
#include <QString>
#include <ibase.h>
#include <string>

namespace bench {

// How long the two halves of a raw replacement took, in seconds.
struct FloorTimes {
    double storedRead = 0;    // select the row, read its BLOB
    double sendAndCommit = 0; // the file into a new BLOB, update, commit
};

// What a floor replacement does beyond the database work itself.
struct FloorWork {
    unsigned short segment = db::BlobSegmentSize; // bytes per segment, both ways
    QString storedCopy; // where the stored BLOB is written; empty: read and dropped
};

// How the client library talks to the server.
enum class Wire { Plain, Compressed };

// The floor: a connection of its own, linked straight to the client library, that does a
// replacement's database work in the segment size asked for (by default the layer's own) and
// nothing else: no backup, no
// digest, no content held in memory. Failures throw std::runtime_error with the library's message
// lines.
class RawConnection {
public:
    RawConnection(const std::string& target, const std::string& user, const std::string& password,
                  Wire wire = Wire::Plain);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // Reads the row's stored BLOB to its end, then stores the file's bytes in its place and
    // commits, all in one transaction. The id is a literal of the caller's own, put into the
    // statement text as it is.
    FloorTimes replaceReport(const std::string& id, const QString& templatePath,
                             const FloorWork& work = {});
    // The row's stored bytes, read whole in a transaction of their own.
    QByteArray storedReport(const std::string& id);

    // A new database at the target with the product's REPORTS table, holding one row with this
    // identifier and a 3-byte layout; detached again.
    static void createReportsDatabase(const std::string& target, const std::string& user,
                                      const std::string& password, const std::string& id);

private:
    explicit RawConnection(isc_db_handle attached);
    // The statement in a transaction of its own, committed.
    void execute(const std::string& sql);

    isc_db_handle db_ = 0;
};

} // namespace bench
