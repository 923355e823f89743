// Nanoseconds per extent name formed, parsed and composed into a full path, for stores whose
// names have 1, 3 and 9 groups.
#include <tqblk/TqBlkBackingStore.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

long long countForGroups(int groups) {
    // The largest count with this many groups: 128^groups extents (capped for 9 groups).
    return groups >= 9 ? 0x7fffffffffffffffLL : 1LL << (7 * groups);
}

void BM_FormName(benchmark::State& state) {
    const long long count = countForGroups(static_cast<int>(state.range(0)));
    char buffer[64];
    long long extent = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(tqblk_bstore_make_extent_fname(extent, count, buffer));
        benchmark::ClobberMemory();
        extent = (extent + 7919) % count;
    }
}

void BM_ParseName(benchmark::State& state) {
    const long long count = countForGroups(static_cast<int>(state.range(0)));
    char buffer[64];
    tqblk_bstore_make_extent_fname(count - 1, count, buffer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(buffer);
        benchmark::DoNotOptimize(tqblk_bstore_parse_extent_fname(buffer, count));
    }
}

void BM_ComposePath(benchmark::State& state) {
    const int groups = static_cast<int>(state.range(0));
    char dir[] = "/tmp/tqblk-bench-XXXXXX";
    if (!mkdtemp(dir)) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    TqBlkPrivateStore store;
    // An extent size of 2 gives the most extents for a device size.
    long long deviceSize = groups >= 9 ? 0x7fffffffffffffffLL : 2 * countForGroups(groups);
    CZyError err = store.createStore(dir, "bench", deviceSize, 2);
    if (err.IsError()) {
        state.SkipWithError(err.GetDescription().c_str());
        return;
    }
    std::string path;
    long long extent = 0;
    const long long count = store.m_extentCount;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.getExtentFileName(extent, &path));
        extent = (extent + 7919) % count;
    }
    benchmark::DoNotOptimize(path.data());
    TqBlkBackingStore::remove(dir);
}

}  // namespace

BENCHMARK(BM_FormName)->Arg(1)->Arg(3)->Arg(9);
BENCHMARK(BM_ParseName)->Arg(1)->Arg(3)->Arg(9);
BENCHMARK(BM_ComposePath)->Arg(1)->Arg(3)->Arg(9);

BENCHMARK_MAIN();
