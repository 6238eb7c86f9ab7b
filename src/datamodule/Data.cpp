#include "Data.h"

#include "db/Error.h"
#include "platform/ConnectionTarget.h"
#include "platform/Resources.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QStringList Lines(const QJsonValue& value) {
    QStringList lines;
    for (const QJsonValue line : value.toArray())
        lines << line.toString();
    return lines;
}

std::unique_ptr<db::Client> LoadClient(const char* library) {
    try {
        return std::make_unique<db::Client>(library);
    } catch (const db::Error& e) {
        throw db::Error(std::string("Error reading IBD.ServerType: ") + e.what());
    }
}

} // namespace

TDM::TDM(const char* clientLibrary)
    : client_(LoadClient(clientLibrary)), IBD(*client_), IBT(IBD),
      IBReports(IBD, IBT, QStringLiteral("IBReports")) {
    const QJsonObject design = platform::DataModuleDesign();

    const QJsonObject ibd = design[u"IBD"].toObject();
    IBD.DatabaseName = ibd[u"DatabaseName"].toString();
    IBD.Options = db::ConnectionOptions::FromLines(Lines(ibd[u"Params"]));
    IBD.BeforeConnect = [this](db::Database& sender) {
        IBDBeforeConnect(sender);
    };
    IBD.AfterConnect = [this](db::Database& sender) {
        IBDAfterConnect(sender);
    };

    const QJsonObject reports = design[u"IBReports"].toObject();
    IBReports.SelectSQL = Lines(reports[u"SelectSQL"]);
    IBReports.RefreshSQL = Lines(reports[u"RefreshSQL"]);
    IBReports.ModifySQL = Lines(reports[u"ModifySQL"]);
    IBReports.InsertSQL = Lines(reports[u"InsertSQL"]);
    IBReports.DeleteSQL = Lines(reports[u"DeleteSQL"]);
}

TDM::~TDM() = default;

void TDM::UseTarget(const QString& target) {
    target_ = target;
}

void TDM::OpenReportList() {
    IBReports.Close();
    IBReports.Open();
}

void TDM::IBDBeforeConnect(db::Database& sender) {
    sender.DatabaseName = target_ ? *target_ : platform::DefaultConnectionTarget();
}

void TDM::IBDAfterConnect(db::Database& sender) {
    if (OnConnected)
        OnConnected(sender.DatabaseName);
}
