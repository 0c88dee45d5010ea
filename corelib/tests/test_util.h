// Temporary folders and file helpers for the core library's tests.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kest::test {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/kestcore_test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline void Write(const std::string &path, const std::string &data) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::string Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline int CountEntries(const std::string &dir) {
    int n = 0;
    for (auto &e : std::filesystem::directory_iterator(dir)) (void)e, ++n;
    return n;
}

}  // namespace kest::test
