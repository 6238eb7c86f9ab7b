#include "Error.h"

#include "Client.h"

#include <QString>
#include <algorithm>

namespace db {

namespace {

// Walks the clusters of a status vector and keeps the code of each error cluster.
std::vector<long> errorCodes(const ISC_STATUS* status) {
    std::vector<long> codes;
    for (const ISC_STATUS* p = status; *p != isc_arg_end;) {
        const ISC_STATUS kind = *p;
        if (kind == isc_arg_gds)
            codes.push_back(static_cast<long>(p[1]));
        p += kind == isc_arg_cstring ? 3 : 2;
    }
    return codes;
}

std::string interpretedText(const Client& client, const ISC_STATUS* status) {
    QString text;
    char line[1024];
    const ISC_STATUS* cursor = status;
    while (client.interpret(line, sizeof line, &cursor) > 0) {
        if (!text.isEmpty())
            text += QStringLiteral("\r\n");
        text += QString::fromLocal8Bit(line);
    }
    if (text.endsWith(u'.'))
        text.chop(1);
    return text.toStdString();
}

} // namespace

void CheckOneRowChanged(long changed, const std::string& table) {
    if (changed == 0)
        throw RowCountError("Row not found: the report was deleted by another user", changed);
    if (changed > 1)
        throw RowCountError(QStringLiteral("The update changed %1 rows in %2 instead of one: the "
                                           "report identifier is not unique")
                                .arg(changed)
                                .arg(QString::fromStdString(table))
                                .toStdString(),
                            changed);
}

bool ServerError::hasCode(long code) const {
    return std::find(gdsCodes_.begin(), gdsCodes_.end(), code) != gdsCodes_.end();
}

ServerError ServerError::FromStatus(const Client& client, const ISC_STATUS* status) {
    return ServerError(interpretedText(client, status), client.sqlcode(status), errorCodes(status));
}

} // namespace db
