#pragma once

#include "Statement.h"

#include <memory>
#include <vector>

namespace db {

// A row's content of one BLOB column, held in memory from its first read or write.
struct ContentHolder {
    QByteArray id; // the BLOB the content came from or went to; all zero: no BLOB
    QByteArray content;
    bool modified = false; // the content is no longer that BLOB's
};
using HolderRef = std::shared_ptr<ContentHolder>;

struct Row {
    std::vector<Value> values;
    std::vector<HolderRef> holders; // per column, empty until first read or write
};

inline constexpr int BlobIdSize = 8;

inline Value NullBlob() {
    return Value{true, QByteArray(BlobIdSize, '\0')};
}

// A NULL reads as no BLOB, whatever bytes the client library left in its data area.
inline QByteArray StoredId(const Value& value) {
    return value.null ? NullBlob().data : value.data;
}

inline bool IsNoBlob(const QByteArray& id) {
    return id.count('\0') == id.size();
}

// A holder that no longer matches the row's stored BLOB is let go, so the next read fetches the
// stored bytes again.
inline void DropStaleHolders(Row& row) {
    for (size_t c = 0; c < row.holders.size(); ++c) {
        HolderRef& holder = row.holders[c];
        if (holder && (holder->modified || holder->id != StoredId(row.values[c])))
            holder.reset();
    }
}

// Every fetched row, in server order, for as long as the dataset is open.
class RowCache {
public:
    static constexpr int Chunk = 1000;

    int size() const { return static_cast<int>(rows_.size()); }
    Row& operator[](int index) { return rows_[index]; }
    void append(std::vector<Value> values) {
        if (rows_.size() == rows_.capacity())
            rows_.reserve(rows_.capacity() + Chunk);
        const size_t columns = values.size();
        rows_.push_back(Row{std::move(values), std::vector<HolderRef>(columns)});
    }

private:
    std::vector<Row> rows_;
};

} // namespace db
