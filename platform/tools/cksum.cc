// Stand-in for the appliance's checksum tool. It takes "-o 3" (the POSIX
// CRC, also the default) and prints the same line GNU cksum prints:
// "CRC SIZE NAME", or "CRC SIZE" for standard input.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "standin_state.h"

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i << 24;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        table[i] = crc;
    }
    return table;
}

const std::array<uint32_t, 256> kTable = MakeTable();

inline uint32_t Step(uint32_t crc, unsigned char byte) { return (crc << 8) ^ kTable[((crc >> 24) ^ byte) & 0xFF]; }

// Returns false with errno set when the stream cannot be read.
bool Checksum(int fd, uint32_t *crc_out, uint64_t *size_out) {
    std::vector<unsigned char> buf(1 << 16);
    uint32_t crc = 0;
    uint64_t size = 0;
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i) crc = Step(crc, buf[i]);
        size += static_cast<uint64_t>(n);
    }
    for (uint64_t len = size; len != 0; len >>= 8) crc = Step(crc, static_cast<unsigned char>(len & 0xFF));
    *crc_out = ~crc;
    *size_out = size;
    return true;
}

int Usage() {
    fprintf(stderr, "usage: cksum [-o 3] [FILE]...\n");
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    kest::platform::JournalArgv("/usr/bin/cksum", argc, argv);

    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-o") {
            if (i + 1 >= argc) return Usage();
            if (std::string(argv[++i]) != "3") {
                fprintf(stderr, "cksum: unsupported algorithm '%s' (only 3)\n", argv[i]);
                return 1;
            }
        } else if (arg == "-o3") {
            // same as "-o 3"
        } else if (arg == "--") {
            for (++i; i < argc; ++i) files.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            fprintf(stderr, "cksum: invalid option '%s'\n", argv[i]);
            return Usage();
        } else {
            files.push_back(arg);
        }
    }

    int status = 0;
    if (files.empty()) {
        uint32_t crc;
        uint64_t size;
        if (!Checksum(0, &crc, &size)) {
            fprintf(stderr, "cksum: -: %s\n", strerror(errno));
            return 1;
        }
        printf("%u %llu\n", crc, static_cast<unsigned long long>(size));
        return 0;
    }
    for (const std::string &name : files) {
        int fd = name == "-" ? 0 : open(name.c_str(), O_RDONLY | O_CLOEXEC);
        uint32_t crc;
        uint64_t size;
        if (fd < 0 || !Checksum(fd, &crc, &size)) {
            fprintf(stderr, "cksum: %s: %s\n", name.c_str(), strerror(errno));
            status = 1;
        } else {
            printf("%u %llu %s\n", crc, static_cast<unsigned long long>(size), name.c_str());
        }
        if (fd > 0) close(fd);
    }
    return status;
}
