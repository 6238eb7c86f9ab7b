#pragma once
// One layout in memory; every call logged, any call made to fail with an error of the test's
// choice.
#include "store/LayoutStore.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>

namespace coretest {

class MemoryStore final : public store::LayoutStore {
public:
    enum class Call { Locate, ReadStored, Write, Post, ReadBack, Commit, RollBack, Check };

    QByteArray committed = "old";
    std::optional<QByteArray> pending;             // written, posted or not
    std::optional<QByteArray> seenAfterLostCommit; // what a new connection sees; else committed
    std::vector<Call> log;
    int cancels = 0;

    // The nth call of this kind from now on raises E with the text.
    template <class E> void Fail(Call call, int nth, std::string text) {
        failures_[call] = {Calls(call) + nth, [text] {
                               throw E(text);
                           }};
    }
    int Calls(Call call) const { return int(std::count(log.begin(), log.end(), call)); }

    void ForEachLayout(const std::function<void(const store::ListedLayout&)>&) override {}
    void StreamLayout(const QString&, const store::Sink&) override {}
    void Locate(const QString& reportId) override {
        enter(Call::Locate);
        if (reportId != "INVOICE")
            throw store::NotFound("no " + reportId.toStdString());
    }
    std::unique_ptr<store::Source> ReadStored() override {
        enter(Call::ReadStored);
        return std::make_unique<Bytes>(committed);
    }
    void Write(store::Source& bytes) override {
        enter(Call::Write);
        QByteArray content(bytes.size(), '\0');
        for (qint64 got = 0, n; (n = bytes.read(content.data() + got, content.size() - got));)
            got += n;
        pending = content;
    }
    void Post() override {
        enter(Call::Post);
        for (qint64 done = 0; done < pending->size() && OnTransfer;)
            OnTransfer(done = std::min<qint64>(done + 16384, pending->size()), pending->size());
    }
    void ReadBack(const store::Sink& sink) override {
        enter(Call::ReadBack);
        sink(pending->constData(), pending->size());
    }
    void Commit() override {
        enter(Call::Commit);
        committed = *std::exchange(pending, std::nullopt);
    }
    void RollBack() override {
        pending.reset();
        enter(Call::RollBack);
    }
    void CancelCall(Cancel) override { ++cancels; }
    store::ContentDigest StoredAfterLostCommit(const QString&) override {
        enter(Call::Check);
        const QByteArray seen = seenAfterLostCommit.value_or(committed);
        return {seen.size(), QCryptographicHash::hash(seen, QCryptographicHash::Sha256).toHex()};
    }

private:
    struct Bytes final : store::Source {
        explicit Bytes(QByteArray bytes) : bytes(std::move(bytes)) {}
        qint64 size() const override { return bytes.size(); }
        qint64 read(char* buffer, qint64 max) override {
            const qint64 n = std::min(max, bytes.size() - at);
            std::memcpy(buffer, bytes.constData() + std::exchange(at, at + n), size_t(n));
            return n;
        }
        QByteArray bytes;
        qint64 at = 0;
    };

    void enter(Call call) {
        log.push_back(call);
        if (const auto failure = failures_.find(call);
            failure != failures_.end() && failure->second.first == Calls(call))
            failure->second.second();
    }

    std::map<Call, std::pair<int, std::function<void()>>> failures_;
};

} // namespace coretest
