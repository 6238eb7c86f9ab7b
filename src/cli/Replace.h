#pragma once

#include "JournalledReplacement.h"

namespace cli {

// replace ID FILE: the file's bytes on every database.
class ReplaceFile final : public ReplacementSource {
public:
    Definition Defined() const override;
    void Take(const Invocation& invocation, const QCommandLineParser& parser,
              const QString& backupDirectory, const Journal& journal) override;
    QString ReportId() const override { return reportId_; }
    Replacement For(const Target& target) const override;

private:
    QString reportId_;
    QString file_;
};

} // namespace cli
