// Composing one refresh of a full table (256 fields) into the printer's
// buffer, with every value changed since the previous refresh.
#include <cstdio>
#include <ctime>
#include <string>

#include <benchmark/benchmark.h>

#include "refresh.h"
#include "tallyboard.h"

namespace {

void compose_full_table(benchmark::State &state)
{
    screen_stat *s = init_screen_stat(fopen("/dev/null", "w"), 1, 0);
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++)
        stat_field_register(s, ("field_" + std::to_string(i)).c_str());
    static char text[kRefreshBufferSize];
    std::time_t now = time(nullptr);
    size_t len = 0;
    for (auto _ : state) {
        for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++)
            stat_field_operation(s, i, STAT_FIELD_OP_ADD, 1000003 + i);
        len = __screen_stat_compose(s, now, text, sizeof text);
        benchmark::DoNotOptimize(text);
    }
    state.counters["bytes"] = static_cast<double>(len);
}

} // namespace

BENCHMARK(compose_full_table)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
