// The per-thread dump file name rule. Input: 4 bytes of worker index, 2 bytes
// of output size, then the base name (as the command line accepts it: at most
// 2047 characters). Checks the rule against its own statement: the index goes
// before the last dot of the last path component, or at the end.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "trawlcap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size, 0};
    auto index = static_cast<int>(static_cast<uint32_t>(fuzz_take(in, 4)));
    size_t out_size = fuzz_take(in, 2) % (kTextSize + 1);
    char *base = fuzz_word(in);
    if (strlen(base) >= kTextSize) {
        free(base);
        return 0;
    }

    std::string b(base);
    size_t slash = b.rfind('/');
    size_t dot = b.rfind('.');
    std::string expected;
    std::string idx = "_" + std::to_string(index);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        expected = b + idx;
    else
        expected = b.substr(0, dot) + idx + b.substr(dot);

    // Exactly out_size bytes, so that a write past it is caught.
    auto *out = static_cast<char *>(malloc(out_size ? out_size : 1));
    int n = __thread_dumpfile_generate(base, index, out, out_size);
    FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) == expected.size());
    if (out_size > 0) {
        size_t kept = expected.size() < out_size ? expected.size() : out_size - 1;
        FUZZ_CHECK(strlen(out) == kept);
        FUZZ_CHECK(expected.compare(0, kept, out) == 0);
    }
    free(out);
    free(base);
    return 0;
}
