#include "Replace.h"

namespace cli {

Definition ReplaceFile::Defined() const {
    return {QStringLiteral("replace"),
            {{IdArgument}, {QStringLiteral("FILE")}},
            {},
            QStringLiteral("back up the stored layout to B_<ID>_<yymmddhhnnss>.FR3, store the "
                           "file's bytes, check what the server stored, commit; nothing when they "
                           "are stored already")};
}

void ReplaceFile::Take(const Invocation& invocation, const QCommandLineParser&, const QString&,
                       const Journal&) {
    reportId_ = invocation.args[0];
    file_ = invocation.args[1];
    CheckReadable(file_);
}

Replacement ReplaceFile::For(const Target&) const {
    return {file_};
}

} // namespace cli
