#pragma once

#include <QByteArray>
#include <ibase.h>
#include <string>

namespace bench {

// The longest segment the client library can move in one call.
inline constexpr int MaxSegmentSize = 65535;

// The baseline: a connection of its own, linked straight to the client library, that moves a
// report's content in the largest segments. Each transfer runs in a transaction of its own,
// committed before it returns. Failures throw std::runtime_error with the library's message lines.
class RawConnection {
public:
    RawConnection(const std::string& target, const std::string& user, const std::string& password);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    // The id is a literal of the caller's own, put into the statement text as it is.
    void writeReport(const std::string& id, const QByteArray& content);
    QByteArray readReport(const std::string& id);

private:
    isc_db_handle db_ = 0;
};

} // namespace bench
