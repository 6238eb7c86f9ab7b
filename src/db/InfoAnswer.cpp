#include "InfoAnswer.h"

#include "Client.h"

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

std::optional<qint64> InfoNumber(QByteArrayView value) {
    if (value.size() > 8)
        return std::nullopt;
    quint64 number = 0;
    for (qsizetype i = value.size() - 1; i >= 0; --i)
        number = (number << 8) | static_cast<unsigned char>(value[i]);
    return static_cast<qint64>(number);
}

} // namespace db
