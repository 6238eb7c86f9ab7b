// What replacing a large layout costs through the report list, against the raw client library
// moving the same bytes in the largest segments, both measured in the same run on the test server.
// Run by hand; it never takes part in pass/fail tests.

#include "Data.h"
#include "RawClient.h"
#include "db/Blob.h"
#include "db/Dataset.h"
#include "support/FbScratch.h"

#include <QRandomGenerator>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int Runs = 5;
constexpr qsizetype MiB = 1 << 20;
constexpr qsizetype Sizes[] = {1 * MiB, 16 * MiB, 64 * MiB};
// The replacement routine copies a template in pieces of this size.
constexpr qsizetype CopyPiece = MiB;

const char* const OurRow = "OURS";
const char* const BaselineRow = "BASELINE";

double SecondsOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray RandomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                     size / sizeof(quint32));
    return bytes;
}

void RequireExact(const std::optional<QByteArray>& got, const QByteArray& sent,
                  const std::string& transfer) {
    if (got != sent)
        throw std::runtime_error(
            transfer + " of " + std::to_string(sent.size()) + " bytes is not byte-exact (" +
            (got ? std::to_string(got->size()) + " bytes came back" : "NULL") + ")");
}

// The data module, pointed at the scratch database instead of the configured one.
void PointAt(TDM& dm, const QString& target) {
    dm.IBD.BeforeConnect = nullptr;
    dm.IBD.DatabaseName = target;
}

// As the tool replaces a layout: the list is already open.
void OurReplace(TDM& dm, const QByteArray& content) {
    if (!dm.IBReports.Locate("ID", OurRow))
        throw std::runtime_error("no row " + std::string(OurRow));
    dm.IBReports.Edit();
    auto writer = dm.IBReports.CreateContentWriter("DESCR");
    for (qsizetype at = 0; at < content.size(); at += CopyPiece)
        writer->write(content.constData() + at, std::min(CopyPiece, content.size() - at));
    writer->close();
    dm.IBReports.Post();
    dm.IBT.CommitRetaining();
}

// A fresh list over an open connection, reading the content whole.
QByteArray OurRead(TDM& dm) {
    dm.IBReports.Open();
    if (!dm.IBReports.Locate("ID", OurRow))
        throw std::runtime_error("no row " + std::string(OurRow));
    auto reader = dm.IBReports.CreateContentReader("DESCR");
    QByteArray content(reader->size(), Qt::Uninitialized);
    qsizetype done = 0;
    while (const qint64 read = reader->read(content.data() + done, content.size() - done))
        done += read;
    content.truncate(done);
    return content;
}

struct Timings {
    std::vector<double> ours, baseline;
};

struct SizeResult {
    qsizetype size;
    Timings write, read;
};

// Ours and the baseline take turns, so that a slow moment of the machine hits both alike. Every
// write is checked through the test bed's own connection, every read against the bytes sent.
SizeResult Measure(fbtest::ScratchDatabase& scratch, qsizetype size) {
    const QByteArray content = RandomBytes(size, static_cast<quint32>(size / MiB));
    SizeResult result{size, {}, {}};
    TDM writing;
    PointAt(writing, scratch.target());
    writing.IBReports.Open();
    bench::RawConnection raw(scratch.target().toStdString(), fbtest::User, fbtest::Password);
    for (int run = 0; run < Runs; ++run) {
        result.write.ours.push_back(SecondsOf([&] { OurReplace(writing, content); }));
        RequireExact(scratch.readBlob("REPORTS", "DESCR", "ID", OurRow), content, "Our write");

        result.write.baseline.push_back(SecondsOf([&] { raw.writeReport(BaselineRow, content); }));
        RequireExact(scratch.readBlob("REPORTS", "DESCR", "ID", BaselineRow), content,
                     "Baseline write");

        TDM reading;
        PointAt(reading, scratch.target());
        reading.IBD.Open();
        QByteArray got;
        result.read.ours.push_back(SecondsOf([&] { got = OurRead(reading); }));
        RequireExact(got, content, "Our read");

        result.read.baseline.push_back(SecondsOf([&] { got = raw.readReport(BaselineRow); }));
        RequireExact(got, content, "Baseline read");
    }
    return result;
}

void PrintTable(const char* title, const std::vector<SizeResult>& results,
                Timings SizeResult::*direction) {
    std::printf("\n%s\n", title);
    std::printf("%8s %10s %13s %15s %12s %16s\n", "size", "ours (s)", "baseline (s)",
                "ours/baseline", "ours MiB/s", "baseline MiB/s");
    for (const SizeResult& result : results) {
        const double mib = static_cast<double>(result.size) / MiB;
        const double ours = Median((result.*direction).ours);
        const double baseline = Median((result.*direction).baseline);
        std::printf("%4.0f MiB %10.3f %13.3f %15.2f %12.1f %16.1f\n", mib, ours, baseline,
                    ours / baseline, mib / ours, mib / baseline);
    }
}

} // namespace

int main() {
    try {
        fbtest::ScratchDatabase scratch;
        scratch.execute("create table REPORTS (ID varchar(20) not null primary key, "
                        "DESCR blob sub_type 0)");
        scratch.insertReport(OurRow, QByteArray("old"));
        scratch.insertReport(BaselineRow, QByteArray("old"));

        std::vector<SizeResult> results;
        const double total = SecondsOf([&] {
            for (qsizetype size : Sizes) {
                std::fprintf(stderr, "measuring %lld MiB...\n", static_cast<long long>(size / MiB));
                results.push_back(Measure(scratch, size));
            }
        });
        std::printf("Replacing a layout on %s, median of %d runs of random bytes.\n"
                    "Ours: report list, %d-byte segments. Baseline: raw client, %d-byte "
                    "segments, own connection.\n",
                    scratch.target().toUtf8().constData(), Runs, db::BlobSegmentSize,
                    bench::MaxSegmentSize);
        PrintTable("Write (locate, edit, write in 1 MiB pieces, post, commit retaining)", results,
                   &SizeResult::write);
        PrintTable("Read (fresh list, locate, whole content)", results, &SizeResult::read);
        std::printf("\nThe whole run, checks included, took %.1f s.\n", total);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvex_bench: %s\n", e.what());
        return 1;
    }
}
