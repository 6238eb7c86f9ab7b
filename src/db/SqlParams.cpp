#include "SqlParams.h"

#include "Error.h"

namespace db {

namespace {

[[noreturn]] void parseError(const char* reason) {
    throw Error(std::string("SQL Parse Error:\r\n\r\n") + reason);
}

bool isNameChar(QChar c) {
    return c == u'_' || c == u'$' || c.isLetter() || c.isDigit();
}

class Rewriter {
public:
    explicit Rewriter(const QString& sql) : sql_(sql) {}

    PositionalSql run() {
        while (pos_ < sql_.size()) {
            const QChar c = sql_[pos_];
            if (c == u'\'' || c == u'"')
                copyString(c);
            else if (c == u'/' && next() == u'*')
                copyComment();
            else if (c == u':' || c == u'?')
                parameter(c);
            else
                out_.text += sql_[pos_++];
        }
        return std::move(out_);
    }

private:
    QChar next() const { return pos_ + 1 < sql_.size() ? sql_[pos_ + 1] : QChar(); }

    // A doubled quote simply closes and reopens the string, which copies it unchanged.
    void copyString(QChar quote) {
        const qsizetype close = sql_.indexOf(quote, pos_ + 1);
        if (close < 0)
            parseError("EOF in string detected");
        copyTo(close + 1);
    }

    void copyComment() {
        const qsizetype close = sql_.indexOf(QStringLiteral("*/"), pos_ + 2);
        if (close < 0)
            parseError("EOF in comment detected");
        copyTo(close + 2);
    }

    void copyTo(qsizetype end) {
        out_.text += QStringView(sql_).sliced(pos_, end - pos_);
        pos_ = end;
    }

    void parameter(QChar marker) {
        ++pos_;
        out_.text += u'?';
        QString name;
        if (pos_ < sql_.size() && sql_[pos_] == u'"') {
            const qsizetype close = sql_.indexOf(u'"', pos_ + 1);
            if (close < 0)
                parseError("EOF in string detected");
            name = sql_.sliced(pos_ + 1, close - pos_ - 1);
            pos_ = close + 1;
        } else {
            const qsizetype start = pos_;
            while (pos_ < sql_.size() && isNameChar(sql_[pos_]))
                ++pos_;
            name = sql_.sliced(start, pos_ - start);
            if (name.isEmpty() && marker == u':')
                parseError("Parameter name expected");
            // The character ending the name is taken over as it is, without a second look.
            if (pos_ < sql_.size())
                out_.text += sql_[pos_++];
        }
        if (name.isEmpty())
            name = u'?' + QString::number(out_.names.size() + 1);
        out_.names.append(name.trimmed().toUpper());
    }

    const QString& sql_;
    qsizetype pos_ = 0;
    PositionalSql out_;
};

} // namespace

PositionalSql RewriteParams(const QString& sql) {
    return Rewriter(sql).run();
}

} // namespace db
