#include "store/ServerHash.h"
#include "DatasetFixture.h"

// The local computation must give the server's own value, or every comparison built on it would
// call an identical layout different (or a different one identical). Long inputs fold many times;
// bytes above 0x7F and a set top bit exercise the signed fold. Dialect 3: in dialect 1 the server
// hands a 64-bit integer out as a double, rounded.
TEST(ServerHashTest, EqualsTheServersHashOfTheSameBlob) {
    fbtest::ScratchDatabase scratch(3);
    scratch.execute("create table REPORTS (ID varchar(20), DESCR blob sub_type 0)");
    std::vector<QByteArray> inputs{{}, QByteArray(1, '\xFF'), QByteArray(64, '\xFF'), "a"};
    for (int seed = 1; inputs.size() < 120; ++seed)
        inputs.push_back(RandomBytes(seed * seed * 37 % 70000, seed));
    for (size_t i = 0; i < inputs.size(); ++i)
        scratch.insertReport("R" + std::to_string(i), inputs[i]);
    for (size_t i = 0; i < inputs.size(); ++i) {
        store::ServerHash local;
        // In two pieces: the state must carry over from one write to the next.
        const qsizetype half = inputs[i].size() / 2;
        local.write(inputs[i].constData(), half);
        local.write(inputs[i].constData() + half, inputs[i].size() - half);
        EXPECT_EQ(std::to_string(local.result()),
                  scratch.queryValue("select hash(DESCR) from REPORTS where ID = 'R" +
                                     std::to_string(i) + "'"))
            << "input " << i << " of " << inputs[i].size() << " bytes";
    }
}
