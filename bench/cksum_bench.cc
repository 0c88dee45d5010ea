// XLIBCCksumCheckDir over 64 MiB of boot images beside the floor: the
// checksum tool run over the same files from a shell loop. Run it inside
// the testbed, where /usr/bin/cksum takes "-o 3":
//   kest-testbed --bind $PWD -- build/release/bench/cksum_bench
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "kest/cksum.h"

using Clock = std::chrono::steady_clock;

int main() {
    std::string dir = "/tmp/cksum_bench." + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::mt19937_64 rng(1);
    const int files = 8;
    const size_t size = 8u << 20;
    std::string list;
    for (int i = 0; i < files; ++i) {
        std::string name = "image" + std::to_string(i);
        std::string data(size, '\0');
        for (auto &c : data) c = static_cast<char>(rng());
        std::ofstream(dir + "/" + name, std::ios::binary) << data;
        long long probe = -1, sum = 0, length = 0;
        XLIBCCksumSample((dir + "/" + name).c_str(), &probe, &sum, &length);
        std::string cmd = "cd " + dir + " && /usr/bin/cksum -o 3 " + name;
        FILE *p = popen(cmd.c_str(), "r");
        char line[256] = {};
        if (!fgets(line, sizeof line, p)) return 1;
        pclose(p);
        std::string l = line;
        l.pop_back();
        list += l + " " + std::to_string(probe) + " " + std::to_string(sum) + "\n";
    }
    std::ofstream(dir + "/checksum.kest") << list;

    auto time = [](auto fn) {
        double best = 1e9;
        for (int r = 0; r < 3; ++r) {
            auto t0 = Clock::now();
            fn();
            best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
        }
        return best;
    };
    int result = 0;
    double ours = time([&] { result = XLIBCCksumCheckDir(dir.c_str()); });
    std::string loop = "cd " + dir + " && for f in image*; do /usr/bin/cksum -o 3 \"$f\"; done > /dev/null";
    double floor = time([&] {
        if (system(loop.c_str()) != 0) abort();
    });
    printf("XLIBCCksumCheckDir over %d files, %zu MiB: %.3f s (result 0x%04X)\n", files, files * (size >> 20), ours,
           result);
    printf("checksum tool in a shell loop:          %.3f s\n", floor);
    printf("ratio (ours / floor): %.2f\n", ours / floor);
    std::filesystem::remove_all(dir);
    return result == 0 ? 0 : 1;
}
