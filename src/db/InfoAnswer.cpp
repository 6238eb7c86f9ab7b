#include "InfoAnswer.h"

#include "Client.h"

#include <QRegularExpression>
#include <algorithm>

namespace db {

std::optional<QByteArrayView> FindInfoItem(QByteArrayView answer, char item) {
    qsizetype pos = 0;
    while (pos + 3 <= answer.size() && answer[pos] != isc_info_end &&
           answer[pos] != isc_info_truncated) {
        const qsizetype length = static_cast<unsigned char>(answer[pos + 1]) |
                                 static_cast<unsigned char>(answer[pos + 2]) << 8;
        if (pos + 3 + length > answer.size())
            return std::nullopt;
        if (answer[pos] == item)
            return answer.sliced(pos + 3, length);
        pos += 3 + length;
    }
    return std::nullopt;
}

QString EngineVersionOf(QByteArrayView versions) {
    if (versions.size() < 2 || versions[0] == 0)
        return {};
    const qsizetype length =
        std::min<qsizetype>(static_cast<unsigned char>(versions[1]), versions.size() - 2);
    const QString text = QString::fromLatin1(versions.sliced(2, length));
    static const QRegularExpression Engine(QStringLiteral("^[A-Z]{2}-[A-Z](\\d+\\.\\d+\\.\\d+)"));
    const QRegularExpressionMatch match = Engine.match(text);
    return match.hasMatch() ? match.captured(1) : text;
}

std::optional<qint64> InfoNumber(QByteArrayView value) {
    if (value.size() > 8)
        return std::nullopt;
    quint64 number = 0;
    for (qsizetype i = value.size() - 1; i >= 0; --i)
        number = (number << 8) | static_cast<unsigned char>(value[i]);
    return static_cast<qint64>(number);
}

} // namespace db
