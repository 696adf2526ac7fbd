// stat_field_operation(ADD) against bare seq_cst fetch_add on std::atomic,
// on one thread and on two threads sharing or not sharing a cache line.
#include <atomic>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "tallyboard.h"

namespace {

screen_stat *make_object()
{
    screen_stat *s = init_screen_stat(nullptr, 1, 0);
    stat_field_register(s, "first");
    stat_field_register(s, "second");
    return s;
}

screen_stat *const g_stat = make_object();

// Same padding as the library gives each field.
struct alignas(64) padded_atomic {
    std::atomic<int64_t> v{0};
};
padded_atomic g_bare[2];

// The least any exported function can cost: the same fetch_add behind an
// out-of-line call. Separates the price of the call from the library's own.
__attribute__((noinline)) void called_fetch_add(std::atomic<int64_t> &a, int64_t v)
{
    a.fetch_add(v, std::memory_order_seq_cst);
}

void finish(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations());
}

void bare_fetch_add(benchmark::State &state)
{
    std::atomic<int64_t> &a = g_bare[0].v;
    for (auto _ : state)
        a.fetch_add(1, std::memory_order_seq_cst);
    finish(state);
}

void called_fetch_add(benchmark::State &state)
{
    std::atomic<int64_t> &a = g_bare[state.thread_index() % 2].v;
    for (auto _ : state)
        called_fetch_add(a, 1);
    finish(state);
}

void field_add(benchmark::State &state)
{
    for (auto _ : state)
        stat_field_operation(g_stat, 0, STAT_FIELD_OP_ADD, 1);
    finish(state);
}

void bare_fetch_add_separate(benchmark::State &state)
{
    std::atomic<int64_t> &a = g_bare[state.thread_index() % 2].v;
    for (auto _ : state)
        a.fetch_add(1, std::memory_order_seq_cst);
    finish(state);
}

void field_add_separate(benchmark::State &state)
{
    int id = state.thread_index() % 2;
    for (auto _ : state)
        stat_field_operation(g_stat, id, STAT_FIELD_OP_ADD, 1);
    finish(state);
}

} // namespace

BENCHMARK(bare_fetch_add);
BENCHMARK(called_fetch_add);
BENCHMARK(field_add);
// Two threads on one counter: bare_fetch_add and field_add again, shared.
BENCHMARK(bare_fetch_add)->Threads(2)->UseRealTime();
BENCHMARK(field_add)->Threads(2)->UseRealTime();
BENCHMARK(bare_fetch_add_separate)->Threads(2)->UseRealTime();
BENCHMARK(called_fetch_add)->Threads(2)->UseRealTime(); // separate lines
BENCHMARK(field_add_separate)->Threads(2)->UseRealTime();

BENCHMARK_MAIN();
