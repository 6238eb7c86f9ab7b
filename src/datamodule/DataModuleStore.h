#pragma once

#include "store/LayoutStore.h"

class TDM;

// The layouts as the data module holds them: the report list's cached rows, edited and posted in
// its long transaction, committed and rolled back retaining. The database's errors come out as
// the store's, with their texts unchanged.
class DataModuleStore final : public store::LayoutStore {
public:
    explicit DataModuleStore(TDM& dm);
    DataModuleStore(const DataModuleStore&) = delete;
    DataModuleStore& operator=(const DataModuleStore&) = delete;

    void ForEachLayout(const std::function<void(const store::ListedLayout&)>& visit) override;
    void StreamLayout(const QString& reportId, const store::Sink& sink) override;

    void Locate(const QString& reportId) override;
    std::unique_ptr<store::Source> ReadStored() override;
    void Write(store::Source& bytes) override;
    void Post() override;
    void ReadBack(const store::Sink& sink) override;
    void Commit() override;
    void RollBack() override;
    void CancelCall(Cancel how) override;
    store::ContentDigest StoredAfterLostCommit(const QString& reportId) override;
    std::optional<QString> EngineVersion() const override;

private:
    // With the transfers reported and the database's errors translated.
    template <class Call> auto run(Call&& call);
    void rollBackTransaction();

    TDM& dm_;
    bool edited_ = false; // since Locate: a post of this replacement may need reverting
};
