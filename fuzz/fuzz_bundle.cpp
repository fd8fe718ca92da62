// The bundle check followed by registration and reading every file back.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    registerAndReadBack(fuzzInput(data, size));
    return 0;
}
