#include <cstddef>
#include <cstdint>

#include "fuzzcheck.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    vandra::fuzz::silenceLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    vandra::fuzz::checkInput(data, size);
    return 0;
}
