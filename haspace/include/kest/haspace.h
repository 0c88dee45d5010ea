// libkesthaspace: disk positions and HA space queries for the HA storage
// tools. No state between calls; safe from any thread as far as the
// platform libraries it calls are.
//
// Failures are reported by result (a null pointer, an empty string, false)
// after a log line. One exception passes through on purpose: a location text
// with a number above 2147483647 raises std::out_of_range ("stoi").
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

struct _space_info_;

#define KEST_HASPACE_API __attribute__((visibility("default")))

namespace KEST::HA::Lib::Space {

// Where a disk, or a partition of it, sits: storage unit, slot in that
// unit, partition (0: the whole disk). Text forms "%u-%u-%u" and "%u-%u".
class KEST_HASPACE_API DiskLocation {
public:
    DiskLocation() = default;
    // "U-S" or "U-S-P", digits and single hyphens only, the whole text;
    // anything else gives 0-0-0 and logs a warning.
    explicit DiskLocation(const std::string &text);
    std::string GetStringFull() const;

    uint32_t unit = 0;
    uint32_t slot = 0;
    uint32_t partition = 0;
};

KEST_HASPACE_API std::unique_ptr<DiskLocation> CreateDiskLoc(unsigned int unit, unsigned int slot);
KEST_HASPACE_API std::unique_ptr<DiskLocation> CreateDiskLoc(unsigned int unit, unsigned int slot,
                                                            unsigned int partition);
// Never null.
KEST_HASPACE_API std::unique_ptr<DiskLocation> CreateDiskLoc(const std::string &text);
// The full form; the pointer must not be null.
KEST_HASPACE_API std::ostream &operator<<(std::ostream &out, const std::unique_ptr<DiskLocation> &loc);

// Null when the disk library does not know the device.
KEST_HASPACE_API std::unique_ptr<DiskLocation> HAGetDiskLocByDev(const std::string &dev);
// An existing block device, or an empty string.
KEST_HASPACE_API std::string HAGetDevByDiskLoc(const DiskLocation &loc);
KEST_HASPACE_API std::string HAGetDevByDiskLoc(const std::unique_ptr<DiskLocation> &loc);
// The web interface's pool space id of a space path; the path itself when
// no space has it.
KEST_HASPACE_API std::string HAGetPoolSpaceIDByPath(const std::string &path);
// The remote disk at the same position (remote table: members "%u-%u" with
// "HD_SIZE"; units 100 and 200 are interchangeable) holds the space's minimum.
KEST_HASPACE_API bool IsRemoteDiskSizeEnough(const std::unique_ptr<DiskLocation> &loc, const Json::Value &remote,
                                             const _space_info_ *space);
// 0 when the space sets no minimum; all bits set on failure.
KEST_HASPACE_API uint64_t GetSpaceMinSize(const _space_info_ *space);

}  // namespace KEST::HA::Lib::Space
