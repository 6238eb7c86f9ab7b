#include "List.h"

#include "Output.h"
#include "core/Replacement.h"

#include <QJsonArray>
#include <QJsonObject>

namespace cli {
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
    InsertConnection(*report.json, layouts);
    report.json->insert("reports", reports);
    return report;
}

} // namespace cli
