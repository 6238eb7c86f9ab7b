#pragma once

// Layouts in memory behind the store's interface, for the core's steps without a server. Every
// call is logged; any call can be made to fail with an error of the test's choice.

#include "store/LayoutStore.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace coretest {

class MemoryStore final : public store::LayoutStore {
public:
    enum class Call {
        List,
        Export,
        Locate,
        ReadStored,
        Write,
        Post,
        ReadBack,
        Commit,
        RollBack,
        Check
    };

    std::vector<std::pair<QString, QByteArray>> rows; // as committed
    std::vector<Call> log;
    int cancels = 0;

    // The nth call of this kind from now on raises E with the text.
    template <class E> void Fail(Call call, int nth, std::string text) {
        failures_[call] = {Calls(call) + nth, [text] {
                               throw E(text);
                           }};
    }
    int Calls(Call call) const { return int(std::count(log.begin(), log.end(), call)); }
    // What a check after a lost commit sees: by default, what was committed.
    std::optional<QByteArray> seenAfterLostCommit;

    void ForEachLayout(const std::function<void(const store::ListedLayout&)>& visit) override {
        enter(Call::List);
        for (const auto& [id, bytes] : rows)
            visit({id, [&](const store::Sink& sink) {
                       sink(bytes.constData(), bytes.size());
                   }});
    }
    void StreamLayout(const QString& reportId, const store::Sink& sink) override {
        enter(Call::Export);
        const QByteArray& bytes = rows[find(reportId)].second;
        sink(bytes.constData(), bytes.size());
    }
    void Locate(const QString& reportId) override {
        enter(Call::Locate);
        row_ = find(reportId);
    }
    std::unique_ptr<store::Source> ReadStored() override {
        enter(Call::ReadStored);
        return std::make_unique<Bytes>(rows[row_].second);
    }
    void Write(store::Source& bytes) override {
        enter(Call::Write);
        QByteArray content(bytes.size(), '\0');
        for (qint64 got = 0, n; (n = bytes.read(content.data() + got, content.size() - got)) > 0;)
            got += n;
        written_ = content;
    }
    void Post() override {
        enter(Call::Post);
        for (qint64 done = 0; done < written_->size();)
            transfer(done = std::min<qint64>(done + 16384, written_->size()), written_->size());
        posted_ = written_;
    }
    void ReadBack(const store::Sink& sink) override {
        enter(Call::ReadBack);
        sink(posted_->constData(), posted_->size());
    }
    void Commit() override {
        enter(Call::Commit);
        rows[row_].second = *std::exchange(posted_, std::nullopt);
    }
    void RollBack() override {
        written_ = posted_ = std::nullopt;
        enter(Call::RollBack);
    }
    void CancelCall(Cancel) override { ++cancels; }
    store::ContentDigest StoredAfterLostCommit(const QString& reportId) override {
        enter(Call::Check);
        const QByteArray bytes = seenAfterLostCommit.value_or(rows[find(reportId)].second);
        return {bytes.size(), QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()};
    }

    bool Pending() const { return written_ || posted_; }

private:
    class Bytes final : public store::Source {
    public:
        explicit Bytes(QByteArray bytes) : bytes_(std::move(bytes)) {}
        qint64 size() const override { return bytes_.size(); }
        qint64 read(char* buffer, qint64 max) override {
            const qint64 n = std::min(max, bytes_.size() - at_);
            std::memcpy(buffer, bytes_.constData() + at_, size_t(n));
            at_ += n;
            return n;
        }

    private:
        QByteArray bytes_;
        qint64 at_ = 0;
    };

    void enter(Call call) {
        log.push_back(call);
        const auto failure = failures_.find(call);
        if (failure != failures_.end() && failure->second.first == Calls(call))
            failure->second.second();
    }
    void transfer(qint64 done, qint64 total) {
        if (OnTransfer)
            OnTransfer(done, total);
    }
    size_t find(const QString& reportId) const {
        std::vector<size_t> found;
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i].first == reportId)
                found.push_back(i);
        if (found.empty())
            throw store::NotFound("no " + reportId.toStdString());
        if (found.size() > 1)
            throw store::NotUnique("several " + reportId.toStdString());
        return found[0];
    }

    std::map<Call, std::pair<int, std::function<void()>>> failures_;
    size_t row_ = 0;
    std::optional<QByteArray> written_, posted_;
};

} // namespace coretest
