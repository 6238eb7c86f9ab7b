// The floor as a process of its own: it starts, attaches, replaces one layout as the benchmark's
// floor does (the stored BLOB read, the file into a new one, update, commit), detaches and exits,
// so that korvex-reports compares with it in the same shape, start-up and login included.
//
//   korvex_floor TARGET ID FILE

#include "../RawClient.h"
#include "support/FbScratch.h"

#include <cstdio>
#include <exception>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fputs("usage: korvex_floor TARGET ID FILE\n", stderr);
        return 2;
    }
    try {
        bench::RawConnection floor(argv[1], fbtest::User, fbtest::Password);
        floor.replaceReport(argv[2], QString::fromLocal8Bit(argv[3]));
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "korvex_floor: %s\n", error.what());
        return 1;
    }
}
