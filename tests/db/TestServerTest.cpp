#include "support/FbScratch.h"
#include "support/TestBed.h"

#include <QByteArray>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

// The engine matrix rests on the server script starting the engine asked for, and on the test bed
// refusing a server of another engine: otherwise a run "against Firebird 4" could pass on 3.

namespace {

// KORVEX_TEST_SERVER_VERSION set while this lives, the previous value restored after.
class ServerVersionVariable {
public:
    explicit ServerVersionVariable(const char* value)
        : saved_(qgetenv(Name)), wasSet_(qEnvironmentVariableIsSet(Name)) {
        qputenv(Name, value);
    }
    ~ServerVersionVariable() {
        if (wasSet_)
            qputenv(Name, saved_);
        else
            qunsetenv(Name);
    }
    ServerVersionVariable(const ServerVersionVariable&) = delete;
    ServerVersionVariable& operator=(const ServerVersionVariable&) = delete;

private:
    static constexpr const char* Name = "KORVEX_TEST_SERVER_VERSION";
    QByteArray saved_;
    bool wasSet_;
};

std::vector<std::string> InstalledEngines() {
    std::vector<std::string> installed;
    for (const char* version : {"3", "4"})
        if (fbtest::ServerInstalled(version))
            installed.push_back(version);
    return installed;
}

} // namespace

TEST(TestServerTest, EachInstalledEngineStartsAsTheVersionAskedFor) {
    const std::vector<std::string> engines = InstalledEngines();
    ASSERT_FALSE(engines.empty()) << "no Firebird server installed";
    for (const std::string& version : engines) {
        const ServerVersionVariable named(version.c_str());
        const fbtest::ServerInstance server(version);
        fbtest::ScratchDatabase scratch(1, server.port());
        EXPECT_TRUE(scratch.engineVersion().starts_with(version + "."))
            << "asked for " << version << ", runs " << scratch.engineVersion();
    }
}

TEST(TestServerTest, ADatabaseOnAnotherEngineThanTheVariableNamesIsRefused) {
    const std::string running = InstalledEngines().at(0);
    const fbtest::ServerInstance server(running);
    const ServerVersionVariable other(running == "3" ? "4" : "3");
    const std::string error = testbed::ErrorText<std::runtime_error>(
        [&] { fbtest::ScratchDatabase scratch(1, server.port()); });
    EXPECT_NE(error.find("runs Firebird " + running + "."), std::string::npos) << error;
    EXPECT_NE(error.find("KORVEX_TEST_SERVER_VERSION"), std::string::npos) << error;
}

TEST(TestServerTest, AnEngineThatIsNotSupportedIsNamedInTheError) {
    const ServerVersionVariable unsupported("5");
    EXPECT_EQ(testbed::ErrorText<std::runtime_error>([] { fbtest::ServerVersion(); }),
              "fbtest: KORVEX_TEST_SERVER_VERSION is \"5\"; supported: 3, 4");
}
