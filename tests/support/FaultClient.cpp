#include "FaultClient.h"

#include <dlfcn.h>
#include <stdexcept>
#include <string>

namespace testbed {

const char* FaultClient::Path() {
    return KORVEX_FAULT_CLIENT;
}

void FaultClient::Unload::operator()(void* library) const {
    dlclose(library);
}

FaultClient::FaultClient() : library_(dlopen(Path(), RTLD_NOW | RTLD_LOCAL)) {
    if (!library_)
        throw std::runtime_error(std::string("testbed: cannot load ") + Path() + ": " + dlerror());
    reset();
}

FaultClient::~FaultClient() = default;

template <class Function> Function FaultClient::entry(const char* name) const {
    void* address = dlsym(library_.get(), name);
    if (!address)
        throw std::runtime_error(std::string("testbed: no ") + name + " in " + Path());
    return reinterpret_cast<Function>(address);
}

void FaultClient::fail(const char* function, int call, long code) {
    entry<void (*)(const char*, int, long)>("korvex_fault_fail")(function, call, code);
}

void FaultClient::corrupt(const char* function, int call) {
    entry<void (*)(const char*, int)>("korvex_fault_corrupt")(function, call);
}

int FaultClient::calls(const char* function) const {
    return entry<int (*)(const char*)>("korvex_fault_calls")(function);
}

void FaultClient::reset() {
    entry<void (*)()>("korvex_fault_reset")();
}

} // namespace testbed
