#include "List.h"

#include "Output.h"
#include "core/Replacement.h"

#include <QJsonArray>
#include <QJsonObject>

namespace cli {
namespace {

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
               {},
               QStringLiteral("identifier, size in bytes and SHA-256 of every stored layout")}) {}

Report List::Run(const Target& target, store::LayoutStore& layouts, Supervisor::Work&) const {
    Report report;
    QJsonArray reports;
    const QString prefix = invocation().targets.size() > 1 ? target.database + u'\t' : QString();
    for (const core::StoredLayout& layout : core::ListLayouts(layouts)) {
        const QString sha256 = QString::fromLatin1(layout.digest.sha256);
        reports.append(
            QJsonObject{{"id", layout.reportId}, {"size", layout.digest.size}, {"sha256", sha256}});
        report.Say(prefix + QStringLiteral("%1\t%2\t%3")
                                .arg(Escaped(layout.reportId))
                                .arg(layout.digest.size)
                                .arg(sha256));
    }
    report.json = outcomeFields(target);
    report.json->insert("outcome", "listed");
    InsertEngine(*report.json, layouts);
    report.json->insert("reports", reports);
    return report;
}

} // namespace cli
