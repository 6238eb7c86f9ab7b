#include "List.h"

#include "Output.h"
#include "core/Replacement.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace cli {
namespace {

const QCommandLineOption Json{QStringLiteral("json"), QStringLiteral("print JSON.")};

// One identifier per line, its fields separated by tabs: an identifier holding either is escaped.
QString Escaped(const QString& text) {
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else if (c == u'\t')
            escaped += QStringLiteral("\\t");
        else
            escaped += c;
    }
    return escaped;
}

} // namespace

List::List()
    : Command({QStringLiteral("list"),
               {},
               {Json},
               QStringLiteral("identifier, size in bytes and SHA-256 of every stored layout")}) {}

void List::Check(const QCommandLineParser& parser) {
    json_ = parser.isSet(Json);
}

Report List::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work&) const {
    Report report;
    QJsonArray reports;
    for (const core::StoredLayout& layout : core::ListLayouts(layouts)) {
        if (json_) {
            reports.append(QJsonObject{{"id", layout.reportId},
                                       {"size", layout.digest.size},
                                       {"sha256", QString::fromLatin1(layout.digest.sha256)}});
            continue;
        }
        const QString prefix =
            invocation().targets.size() > 1 ? target.database + u'\t' : QString();
        report.Say(prefix + QStringLiteral("%1\t%2\t%3")
                                .arg(Escaped(layout.reportId))
                                .arg(layout.digest.size)
                                .arg(QString::fromLatin1(layout.digest.sha256)));
    }
    if (json_)
        report.json = QJsonObject{{"database", target.database}, {"reports", reports}};
    return report;
}

Report List::Failed(const Target& target, const QString& text) const {
    Report report = Command::Failed(target, text);
    if (json_)
        report.json = QJsonObject{{"database", target.database}, {"error", text}};
    return report;
}

void List::Tally(const Report& report) {
    if (report.json)
        databases_.append(*report.json);
}

void List::Finish(int, int) {
    if (json_)
        std::fputs(QJsonDocument(databases_).toJson().constData(), stdout);
}

} // namespace cli
