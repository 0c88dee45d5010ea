// Replacing a file whole: the new content goes to "<path>.XXXXXX" in the
// same directory and is renamed over the path only when complete and synced.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

namespace kest::core {

class ReplaceFile {
public:
    explicit ReplaceFile(std::string path) : path_(std::move(path)) {}
    ~ReplaceFile();  // removes the temporary file unless committed
    ReplaceFile(const ReplaceFile &) = delete;
    ReplaceFile &operator=(const ReplaceFile &) = delete;

    // Creates the temporary file (mode 0666 under the umask, never through a
    // link). False with errno set on failure.
    bool Open();
    FILE *stream() { return stream_; }

    // Flushes, syncs, gives owner, group and mode (mode < 0: keep the
    // creation mode; uid -1: keep the owner) and closes. False on failure.
    bool Finish(uid_t uid, gid_t gid, int mode);

    // Renames over the path and syncs the directory, so the new content
    // survives a power cut once this returns true.
    bool Commit();

    const std::string &temp_path() const { return temp_; }

private:
    std::string path_;
    std::string temp_;
    FILE *stream_ = nullptr;
    bool committed_ = false;
};

// Syncs the directory holding `path`; false on failure.
bool SyncParentDir(const std::string &path);

}  // namespace kest::core
