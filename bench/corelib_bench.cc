// Key-value lookups, lists and hashes beside the standard library doing the
// same work.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "kest/kvfile.h"
#include "kest/szlist.h"
#include "ratio_reporter.h"

namespace {

const std::string &ConfigFile() {
    static std::string path = [] {
        std::string p = "/tmp/kest_bench_conf." + std::to_string(getpid());
        std::ofstream out(p);
        for (int i = 0; i < 2000; ++i) out << "key" << i << "=\"value number " << i << "\"\n";
        return p;
    }();
    return path;
}

const char *KeyFor(int which) { return which == 0 ? "key0" : which == 1 ? "key1999" : "absent"; }

void KvOurs(benchmark::State &state) {
    const char *key = KeyFor(static_cast<int>(state.range(0)));
    char buf[128];
    for (auto _ : state) benchmark::DoNotOptimize(XLIBCFileGetKeyValue(ConfigFile().c_str(), key, buf, sizeof buf, 0));
}

// The plain scan: read lines until one starts with "key=".
void KvBaseline(benchmark::State &state) {
    std::string prefix = std::string(KeyFor(static_cast<int>(state.range(0)))) + "=";
    for (auto _ : state) {
        std::ifstream in(ConfigFile());
        std::string line, value;
        while (std::getline(in, line))
            if (line.compare(0, prefix.size(), prefix) == 0) {
                value = line.substr(prefix.size());
                break;
            }
        benchmark::DoNotOptimize(value);
    }
}
// 0 first key, 1 last key, 2 missing key
BENCHMARK(KvOurs)->Name("GetKeyValue/ours")->Arg(0)->Arg(1)->Arg(2);
BENCHMARK(KvBaseline)->Name("GetKeyValue/baseline")->Arg(0)->Arg(1)->Arg(2);

std::vector<std::string> Keys() {
    std::vector<std::string> k;
    for (int i = 0; i < 10000; ++i) k.push_back("item-" + std::to_string(i * 7919 % 10000));
    return k;
}

void ListOurs(benchmark::State &state) {
    auto keys = Keys();
    for (auto _ : state) {
        SzList *l = XLIBCSzListAlloc(0);
        for (const auto &k : keys) XLIBCSzListPush(&l, k.c_str());
        if (state.range(0)) XLIBCSzListSort(l, SZLIST_SORTED);
        for (int i = 0; i < 10000; i += 100) benchmark::DoNotOptimize(XLIBCSzListFind(l, keys[i].c_str()));
        XLIBCSzListFree(l);
    }
}

void ListBaseline(benchmark::State &state) {
    auto keys = Keys();
    for (auto _ : state) {
        std::vector<std::string> v;
        for (const auto &k : keys) v.push_back(k);
        if (state.range(0)) std::sort(v.begin(), v.end());
        for (int i = 0; i < 10000; i += 100)
            benchmark::DoNotOptimize(state.range(0) ? std::binary_search(v.begin(), v.end(), keys[i])
                                                    : std::find(v.begin(), v.end(), keys[i]) != v.end());
    }
}
// 0 unsorted (linear find), 1 sorted (binary search); 10,000 pushes and 100 finds
BENCHMARK(ListOurs)->Name("SzList/ours")->Arg(0)->Arg(1);
BENCHMARK(ListBaseline)->Name("SzList/baseline")->Arg(0)->Arg(1);

void HashOurs(benchmark::State &state) {
    auto keys = Keys();
    for (auto _ : state) {
        SzHash *h = XLIBCSzHashAlloc(0);
        for (const auto &k : keys) XLIBCSzHashSetValue(&h, k.c_str(), "value");
        for (const auto &k : keys) benchmark::DoNotOptimize(XLIBCSzHashGetValue(h, k.c_str()));
        XLIBCSzHashFree(h);
    }
}

void HashBaseline(benchmark::State &state) {
    auto keys = Keys();
    for (auto _ : state) {
        std::unordered_map<std::string, std::string> m;
        for (const auto &k : keys) m[k] = "value";
        for (const auto &k : keys) benchmark::DoNotOptimize(m.find(k));
    }
}
BENCHMARK(HashOurs)->Name("SzHash/ours");
BENCHMARK(HashBaseline)->Name("SzHash/baseline");

}  // namespace

int main(int argc, char **argv) {
    int r = kest::bench::RunWithRatios(argc, argv);
    unlink(ConfigFile().c_str());
    return r;
}
