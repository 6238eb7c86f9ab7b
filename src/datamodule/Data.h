#pragma once

#include "db/Client.h"
#include "db/Database.h"
#include "db/Dataset.h"
#include "db/Transaction.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>

// The data module: the connection, its transaction and the report list, with their design-time
// settings loaded from resources. Creating it loads the client library and connects nothing.
class TDM {
public:
    // Fails with "Error reading IBD.ServerType: <loader message>" when the library cannot load.
    explicit TDM(const char* clientLibrary = db::Client::DefaultLibrary);
    ~TDM();

    // Told the connection target once the connection has opened.
    std::function<void(const QString& target)> OnConnected;

    // Connect to this target instead of the one the command line or working directory gives.
    void UseTarget(const QString& target);
    // Opens the report list afresh, connecting and starting the transaction as needed.
    void OpenReportList();

private:
    std::unique_ptr<db::Client> client_; // first: loaded before, released after the components

public:
    db::Database IBD;
    db::Transaction IBT;
    db::Dataset IBReports;

private:
    std::optional<QString> target_;

    void IBDBeforeConnect(db::Database& sender);
    void IBDAfterConnect(db::Database& sender);
};
