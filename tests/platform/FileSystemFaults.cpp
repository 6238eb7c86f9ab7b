#include "FileSystemFaults.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileSystemFaults* active = nullptr;

template <class Function> Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

FileSystemFaults::FileSystemFaults() {
    active = this;
}

FileSystemFaults::~FileSystemFaults() {
    active = nullptr;
}

extern "C" int fsync(int fd) {
    static const auto next = Next<int (*)(int)>("fsync");
    if (active) {
        struct stat status {};
        ::fstat(fd, &status);
        active->synced.push_back({S_ISDIR(status.st_mode), status.st_ino, status.st_size});
        if (int(active->synced.size()) == active->failingSync) {
            errno = EIO;
            return -1;
        }
    }
    return next(fd);
}

extern "C" int linkat(int fromDirectory, const char* from, int toDirectory, const char* to,
                      int flags) noexcept {
    static const auto next = Next<int (*)(int, const char*, int, const char*, int)>("linkat");
    if (active && active->withoutHardLinks) {
        errno = EPERM;
        return -1;
    }
    return next(fromDirectory, from, toDirectory, to, flags);
}
