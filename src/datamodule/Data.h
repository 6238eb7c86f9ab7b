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
// The user name and password the data module logs in with by design, for a connection made
// without it.
struct DesignLogin {
    QString user;
    QString password;
};
DesignLogin LoadDesignLogin();

class TDM {
public:
    // Fails with "Error reading IBD.ServerType: <loader message>" when the library cannot load.
    explicit TDM(const char* clientLibrary = db::Client::DefaultLibrary);
    ~TDM();

    // Told the connection target once the connection has opened.
    std::function<void(const QString& target)> OnConnected;

    // Connect to this target instead of the one the command line or working directory gives.
    void UseTarget(const QString& target);
    // Log in with these, where given, instead of the design-time user name and password. Before
    // the first connect only: the parameter block is built then.
    void UseLogin(const std::optional<QString>& user, const std::optional<QString>& password);
    // Give up a connect that the server has not answered in this many seconds, instead of the
    // client library's own limit. Before the first connect only.
    void UseConnectTimeout(int seconds);
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
