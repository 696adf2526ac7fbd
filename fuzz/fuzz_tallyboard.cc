// libtallyboard driven by a random sequence of register / add / set with
// arbitrary ids, codes and values, then composed as one refresh. Checks the
// results against a model of the table: ids in order, refusals exactly for
// ids not handed out and unknown codes, values wrapping like two's complement.
//
// The library never frees an object. Each input creates one (without the
// printer) and the target gives back the object and its names afterwards, so
// that millions of inputs neither exhaust memory nor trip the leak checker.
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "refresh.h"
#include "tallyboard.h"

namespace {

char g_text[kRefreshBufferSize];
FILE *g_sink;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Refreshes longer than the buffer are written out as it fills.
    g_sink = fopen("/dev/null", "w");
    FUZZ_CHECK(g_sink != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size, 0};
    int interval = 1 + static_cast<int>(fuzz_take(in, 1) % 60);
    screen_stat *stat = init_screen_stat(g_sink, interval, 0);
    FUZZ_CHECK(stat != nullptr);

    static int64_t model[TALLYBOARD_MAX_FIELDS];
    int count = 0;
    while (!fuzz_empty(in)) {
        uint8_t op = static_cast<uint8_t>(fuzz_take(in, 1));
        if (op % 4 == 0) {
            char *name = fuzz_word(in);
            int id = stat_field_register(stat, name);
            if (count < TALLYBOARD_MAX_FIELDS) {
                FUZZ_CHECK(id == count);
                FUZZ_CHECK(strcmp(stat->fields[id].name, name) == 0);
                model[count++] = 0;
            } else {
                FUZZ_CHECK(id == -1);
            }
            free(name);
            continue;
        }
        // Ids and codes mostly near the valid ones, sometimes anything.
        auto id = static_cast<int>(static_cast<uint32_t>(fuzz_take(in, op & 0x10 ? 4 : 1)));
        int code = op & 0x20 ? static_cast<int>(static_cast<uint32_t>(fuzz_take(in, 4)))
                             : 1 + (op >> 6) % 2;
        auto value = static_cast<int64_t>(fuzz_take(in, 8));
        int rc = stat_field_operation(stat, id, code, value);
        bool valid =
            id >= 0 && id < count && (code == STAT_FIELD_OP_ADD || code == STAT_FIELD_OP_SET);
        FUZZ_CHECK(rc == (valid ? 0 : -1));
        if (valid)
            model[id] = code == STAT_FIELD_OP_SET
                            ? value
                            : static_cast<int64_t>(static_cast<uint64_t>(model[id]) +
                                                   static_cast<uint64_t>(value));
    }
    for (int i = 0; i < count; i++)
        FUZZ_CHECK(stat->fields[i].value == model[i]);
    FUZZ_CHECK(stat_field_operation(stat, count, STAT_FIELD_OP_ADD, 1) == -1);

    size_t len =
        __screen_stat_compose(stat, static_cast<time_t>(size) * 1000003, g_text, sizeof g_text);
    FUZZ_CHECK(len < sizeof g_text && strlen(g_text) == len);
    for (int i = 0; i < count; i++)
        FUZZ_CHECK(stat->fields[i].last_value == model[i]);

    for (int i = 0; i < count; i++)
        free(stat->fields[i].name);
    free(stat);
    return 0;
}
