// Stands in for libFuzzer in ordinary builds: runs the target once on every file of the corpus
// folders given, so the inputs that once crashed it stay tests.

#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const QDir corpus(QFile::decodeName(argv[i]));
        for (const QFileInfo& input : corpus.entryInfoList(QDir::Files, QDir::Name)) {
            QFile file(input.filePath());
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "Cannot read %s\n", qPrintable(input.filePath()));
                return 1;
            }
            std::fprintf(stderr, "%s\n", qPrintable(input.fileName())); // named before a crash
            const QByteArray bytes = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                   static_cast<size_t>(bytes.size()));
            ++replayed;
        }
    }
    std::printf("Replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1; // an empty or missing corpus proves nothing
}
