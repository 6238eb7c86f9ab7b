#pragma once

#include "db/Client.h"
#include "db/Database.h"
#include "db/Error.h"
#include "db/Transaction.h"
#include "support/DataModuleDesign.h"
#include "support/TestBed.h"

#include <QStringList>

// The data module's connection lines.
inline QStringList DataModuleParams() {
    return fbtest::DesignLines("IBD", "Params");
}

// The parameter block that connection lines give.
inline QByteArray BlockOf(const QStringList& lines) {
    return db::ParameterBlock(db::ConnectionOptions::FromLines(lines));
}

// A connection and its transaction, declared in the data module's order so that destruction
// commits before it detaches.
struct Connection {
    explicit Connection(const QString& target,
                        const char* clientLibrary = db::Client::DefaultLibrary)
        : client(clientLibrary) {
        database.DatabaseName = target;
        database.Options = db::ConnectionOptions::FromLines(DataModuleParams());
    }

    db::Client client;
    db::Database database{client};
    db::Transaction transaction{database};
};

// The text of the db::Error the call raises, or "no error".
inline constexpr auto errorText = &testbed::ErrorText<db::Error>;
