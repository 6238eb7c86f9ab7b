// The SHA-256 that names every layout in the journal and that undo holds stored bytes against.

#include "store/Digest.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

QByteArray Sha256(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

TEST(DigestTest, SumsUpTheBytesInAnyPiecesAsOneWhole) {
    store::DigestSink empty;
    EXPECT_EQ(empty.result(),
              (store::ContentDigest{
                  0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}));

    QByteArray bytes(200000, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    for (const qsizetype piece : {1, 63, 64, 65, 4096, 200000}) {
        store::DigestSink digest;
        for (qsizetype at = 0; at < bytes.size(); at += piece)
            digest.write(bytes.constData() + at, std::min(piece, bytes.size() - at));
        EXPECT_EQ(digest.result(), (store::ContentDigest{bytes.size(), Sha256(bytes)}))
            << "in pieces of " << piece;
    }
}

// Taking the sum ends nothing: it can be taken again, and more bytes summed up after it.
TEST(DigestTest, ASumTakenMidwayLeavesTheRestToCome) {
    store::DigestSink digest;
    digest.write("ab", 2);
    EXPECT_EQ(digest.result().sha256, Sha256("ab"));
    EXPECT_EQ(digest.result().sha256, Sha256("ab"));
    digest.write("c", 1);
    EXPECT_EQ(digest.result(), (store::ContentDigest{3, Sha256("abc")}));

    store::DigestSink counting(false);
    counting.write("abc", 3);
    EXPECT_EQ(counting.result(), (store::ContentDigest{3, {}}));
}

} // namespace
