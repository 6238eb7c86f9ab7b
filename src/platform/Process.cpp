#include "Process.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <climits>
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

} // namespace platform
