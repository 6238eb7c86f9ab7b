#pragma once

// Small helpers every suite shares.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace testbed {

// Bytes no text conversion leaves alone, the same for the same seed.
inline QByteArray RandomBytes(qsizetype size, quint32 seed = 20230922) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

// The text of the Error the call raises, or "no error"; any other exception fails the test.
template <class Error> std::string ErrorText(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return error.what();
    }
    return "no error";
}

// The process's working directory while this lives.
class InDirectory {
public:
    explicit InDirectory(const QString& path) : saved_(QDir::currentPath()) {
        EXPECT_EQ(::chdir(QFile::encodeName(path).constData()), 0);
    }
    ~InDirectory() { EXPECT_EQ(::chdir(QFile::encodeName(saved_).constData()), 0); }
    InDirectory(const InDirectory&) = delete;
    InDirectory& operator=(const InDirectory&) = delete;

private:
    QString saved_;
};

} // namespace testbed
