#pragma once

// The fault-injecting client library (tests/faultclient) for the cases where the client library
// itself must fail: load it by Path() into a db::Client or a TDM, and tell it here which call of
// which entry point fails. Everything else goes through to the real library and the real server.
//
//   testbed::FaultClient faults;
//   faults.fail("isc_put_segment", 2, isc_virmemexh);   // the second segment written from now on
//   ReportList list(scratch.target(), DataModuleParams(), faults.Path());
//   ...
//   EXPECT_EQ(faults.calls("isc_cancel_blob"), 1);

#include <memory>

namespace testbed {

class FaultClient {
public:
    static const char* Path();

    // Loads the library and starts counting from zero with no fault set.
    FaultClient();
    ~FaultClient();
    FaultClient(const FaultClient&) = delete;
    FaultClient& operator=(const FaultClient&) = delete;

    // The call-th call of the entry point, counted from the last reset, fails with this error
    // code and reaches nothing.
    void fail(const char* function, int call, long code);
    // The call-th call of the entry point (only isc_get_segment) returns its bytes with the first
    // one flipped.
    void corrupt(const char* function, int call);
    // Calls of the entry point since the last reset.
    int calls(const char* function) const;
    // Forgets counts and faults.
    void reset();

private:
    template <class Function> Function entry(const char* name) const;

    struct Unload {
        void operator()(void* library) const;
    };
    std::unique_ptr<void, Unload> library_;
};

} // namespace testbed
