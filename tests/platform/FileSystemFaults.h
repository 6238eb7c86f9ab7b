#pragma once

// This test program defines its own fsync and linkat (FileSystemFaults.cpp), which the platform
// code linked into it calls instead of the C library's. While a FileSystemFaults lives they
// record and fail on demand; otherwise they just forward.

#include <sys/types.h>
#include <vector>

struct SyncedFile {
    bool directory;
    ino_t inode;
    off_t size;
};

class FileSystemFaults {
public:
    FileSystemFaults();
    ~FileSystemFaults();
    FileSystemFaults(const FileSystemFaults&) = delete;
    FileSystemFaults& operator=(const FileSystemFaults&) = delete;

    // Every fsync, in order, as it found the file.
    std::vector<SyncedFile> synced;
    // The fsync with this number (from 1) fails with EIO; 0 for none.
    int failingSync = 0;
    // linkat fails with EPERM, as on a file system without hard links (FAT).
    bool withoutHardLinks = false;
};
