// Time per byte of framing + pipeline + report step over a realistic stream.
#include "core_path.h"
#include "touch_stream.h"

#include <benchmark/benchmark.h>

static void BM_CorePathPerByte(benchmark::State& state)
{
    const std::vector<uint8_t> stream = MakeTouchStream(2000);
    CorePathState path;
    InitCorePath(path);
    for (auto _ : state) {
        benchmark::DoNotOptimize(RunCorePath(path, stream.data(), stream.size()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["bytes"] = static_cast<double>(stream.size());
}
BENCHMARK(BM_CorePathPerByte);

BENCHMARK_MAIN();
