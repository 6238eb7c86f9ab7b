#pragma once

#include "store/Digest.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace store {

// A failure of the store. what() is the text the user sees, in UTF-8.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// No layout has the identifier.
class NotFound : public Error {
public:
    using Error::Error;
};
// Several layouts have the identifier: which one is meant is anyone's guess.
class NotUnique : public Error {
public:
    using Error::Error;
};
// Another user changed the layout after the store's transaction began; only a new one sees it.
class UpdateConflict : public Error {
public:
    using Error::Error;
};
// Another user holds the layout and did not let go in time.
class LockTimeout : public Error {
public:
    using Error::Error;
};
// The connection to the database is gone.
class ConnectionLost : public Error {
public:
    using Error::Error;
};
// The commit may have reached the database before the connection went: its fate is unknown here.
class CommitInDoubt : public ConnectionLost {
public:
    using ConnectionLost::ConnectionLost;
};
// The database stopped the call on a Cancel.
class Cancelled : public Error {
public:
    using Error::Error;
};

using Sink = std::function<void(const char* data, qint64 count)>;

// Bytes read from the start.
class Source {
public:
    virtual ~Source() = default;
    virtual qint64 size() const = 0;
    // Copies up to max bytes into buffer; returns how many, 0 at the end.
    virtual qint64 read(char* buffer, qint64 max) = 0;
};

// One layout of a listing: valid during its visit only.
struct ListedLayout {
    QString reportId;
    std::function<void(const Sink& sink)> stream; // its bytes, as stored
};

// The stored layouts, keyed by report identifier, and the replacement of one inside the store's
// own transaction. Every failure is an Error of the kinds above, or whatever OnTransfer or a
// Source handed in threw.
class LayoutStore {
public:
    virtual ~LayoutStore();

    // Told the bytes moved so far and the whole length after every transfer to or from the
    // database. It may throw to stop the transfer; the call then fails with that exception.
    std::function<void(qint64 done, qint64 total)> OnTransfer;

    // Every stored layout in the store's order, an identifier that several share once per layout.
    virtual void ForEachLayout(const std::function<void(const ListedLayout&)>& visit) = 0;
    // NotFound, NotUnique.
    virtual void StreamLayout(const QString& reportId, const Sink& sink) = 0;
    // The layout's length and HASH() as stored, a NULL one as empty; nullopt when no row has the
    // identifier, NotUnique when several have it. Here from the streamed bytes: a store that can
    // ask the database instead does so without sending the layout.
    virtual std::optional<Fingerprint> FingerprintOf(const QString& reportId);

    // A replacement: Locate, then ReadStored as often as needed, Write, Post, ReadBack if wanted,
    // and Commit; RollBack undoes whatever came after Locate. A Write that fails leaves nothing
    // pending; after one that succeeds, Post and Commit or RollBack follow.
    virtual void Locate(const QString& reportId) = 0; // NotFound; NotUnique here or from Post
    virtual std::unique_ptr<Source> ReadStored() = 0;
    virtual void Write(Source& bytes) = 0;
    virtual void Post() = 0;
    // What the database holds for the layout now, within the transaction.
    virtual void ReadBack(const Sink& sink) = 0;
    // The same in one round trip, without the bytes; nullopt from a store that cannot tell it
    // (then only ReadBack verifies).
    virtual std::optional<Fingerprint> StoredFingerprint();
    virtual void Commit() = 0; // CommitInDoubt when the connection goes on the way
    // Nothing stays pending, also when rolling back fails part-way (the failure is still raised),
    // and the layout's cached state is as before Locate.
    virtual void RollBack() = 0;

    enum class Cancel {
        Raise, // the database fails the call in flight
        Abort  // the connection is dropped here, for a database that does not answer
    };
    // From any thread, while another one may wait in a call.
    virtual void CancelCall(Cancel how) = 0;

    // After a CommitInDoubt: what the layout holds now, seen through a new connection once the
    // lost one's commit can no longer change it. Raises when that cannot be seen within seconds.
    virtual ContentDigest StoredAfterLostCommit(const QString& reportId) = 0;

    // The version of the database engine the store last reached, such as "4.0.5"; nullopt before
    // its first connection and from a store with no engine behind it.
    virtual std::optional<QString> EngineVersion() const;
    // Whether the server tells the traffic of the store's last connection as compressed; nullopt
    // before its first connection, from a server that does not tell, and from a store with no
    // server behind it.
    virtual std::optional<bool> WireCompressed() const;
};

} // namespace store
