#include "TerminalText.h"

#include <QString>

namespace cli {
namespace {

QByteArray Shown(const QByteArray& line) {
    const QString text = QString::fromUtf8(line);
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const bool kept =
            c == u'\n' || c == u'\t' || (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n');
        if (kept || c.category() != QChar::Other_Control)
            shown += c;
        else if (c.unicode() < 0x80)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar(u'0'));
        else
            shown += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QChar(u'0'));
    }
    return shown.toUtf8();
}

} // namespace

QByteArray TerminalText::Feed(const QByteArray& bytes) {
    pending_ += bytes;
    QByteArray shown;
    qsizetype from = 0;
    for (;;) {
        const qsizetype end = pending_.indexOf('\n', from);
        qsizetype cut = 0;
        if (end >= 0 && end - from < MaxLine)
            cut = end + 1;
        else if (pending_.size() - from > MaxLine)
            cut = from + MaxLine;
        else
            break;
        shown += Shown(pending_.sliced(from, cut - from));
        from = cut;
    }
    pending_.remove(0, from);
    return shown;
}

QByteArray TerminalText::Finish() {
    return Shown(std::exchange(pending_, QByteArray()));
}

} // namespace cli
