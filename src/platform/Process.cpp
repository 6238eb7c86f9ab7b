#include "Process.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace platform {

QString WorkingDirectory() {
    for (std::size_t size = PATH_MAX;; size *= 2) {
        std::vector<char> buffer(size);
        if (::getcwd(buffer.data(), buffer.size()))
            return QFile::decodeName(buffer.data());
        if (errno != ERANGE)
            return {};
    }
}

QString ApplicationTitle(const QString& executableFileName) {
    const QString stem = executableFileName.section(u'.', 0, 0);
    return stem.left(1) + stem.mid(1).toLower();
}

QString ApplicationTitle() {
    return ApplicationTitle(QFileInfo(QCoreApplication::applicationFilePath()).fileName());
}

namespace {

// Splits the text a character at a time; a word exists once any of its characters or quotes is
// read, so "" is an empty word.
class WordSplitter {
public:
    explicit WordSplitter(const QString& text) : text_(text) {}

    QStringList split() {
        while (at_ < text_.size()) {
            const QChar c = text_[at_++];
            if (c == u' ' || c == u'\t' || c == u'\n')
                endWord();
            else if (c == u'\'')
                singleQuoted();
            else if (c == u'"')
                doubleQuoted();
            else if (c == u'\\')
                take(escaped());
            else
                take(c);
        }
        endWord();
        return words_;
    }

private:
    void take(QChar c) {
        word_ += c;
        inWord_ = true;
    }
    void endWord() {
        if (inWord_)
            words_ << std::exchange(word_, QString());
        inWord_ = false;
    }
    QChar escaped() {
        if (at_ == text_.size())
            throw std::invalid_argument("a backslash at the end");
        return text_[at_++];
    }
    void singleQuoted() {
        const qsizetype end = text_.indexOf(u'\'', at_);
        if (end < 0)
            throw std::invalid_argument("an unterminated quote");
        word_ += text_.mid(at_, end - at_);
        inWord_ = true;
        at_ = end + 1;
    }
    void doubleQuoted() {
        inWord_ = true;
        while (at_ < text_.size()) {
            const QChar c = text_[at_++];
            if (c == u'"')
                return;
            if (c == u'\\' && at_ < text_.size() && QStringView(u"\"\\$`\n").contains(text_[at_]))
                word_ += text_[at_++];
            else
                word_ += c;
        }
        throw std::invalid_argument("an unterminated quote");
    }

    const QString& text_;
    qsizetype at_ = 0;
    QString word_;
    bool inWord_ = false;
    QStringList words_;
};

} // namespace

QStringList ShellWords(const QString& text) {
    return WordSplitter(text).split();
}

int RunProgram(const QStringList& command, const std::function<void(const QByteArray&)>& output) {
    const auto failed = [&](const QString& why) {
        return std::runtime_error(
            QStringLiteral("cannot run %1: %2").arg(command.value(0), why).toStdString());
    };
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(command.value(0), command.mid(1), QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        throw failed(process.errorString());
    while (process.waitForReadyRead(-1))
        output(process.readAllStandardOutput());
    process.waitForFinished(-1);
    if (const QByteArray rest = process.readAllStandardOutput(); !rest.isEmpty())
        output(rest);
    if (process.exitStatus() != QProcess::NormalExit)
        throw failed(QStringLiteral("it ended on a signal"));
    return process.exitCode();
}

} // namespace platform
