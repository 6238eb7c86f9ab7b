#pragma once

#include "db/Database.h"
#include "db/Statement.h"
#include "db/Transaction.h"
#include "support/FbScratch.h"

#include <QStringList>

namespace clitest {

// Holds the commit of any change to the database's REPORTS in the server, once the change has
// arrived there, on a row locked through a connection of its own: killing the server then loses
// a commit in flight, whose fate nobody can tell.
class CommitGate {
public:
    explicit CommitGate(fbtest::ScratchDatabase& database) : database_(database) {
        database.execute("create table GATE (N integer)");
        database.execute("create table ARRIVED (N integer)");
        database.execute("insert into GATE values (0)");
        database.execute("create trigger CHANGED for REPORTS after update as begin "
                         "rdb$set_context('USER_TRANSACTION', 'CHANGED', '1'); end");
        database.execute("create trigger HOLD on transaction commit as begin "
                         "if (rdb$get_context('USER_TRANSACTION', 'CHANGED') = '1') then begin "
                         "in autonomous transaction do insert into ARRIVED values (1); "
                         "update GATE set N = N + 1; end end");
        holder_.DatabaseName = database.target();
        holder_.Options = {.user = "SYSDBA", .password = "tallowfen"};
        holder_.Open();
        holding_.StartTransaction();
        hold_.Prepare("update GATE set N = N + 1");
        hold_.Execute();
    }

    // Whether a commit waits at the gate.
    bool reached() { return database_.queryValue("select count(*) from ARRIVED") != "0"; }

private:
    fbtest::ScratchDatabase& database_;
    db::Client client_;
    db::Database holder_{client_};
    db::Transaction holding_{holder_};
    db::Statement hold_{holder_, holding_};
};

} // namespace clitest
