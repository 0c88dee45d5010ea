#include <cstdio>
#include <regex>

#include "halog.h"
#include "kest/haspace.h"

namespace KEST::HA::Lib::Space {

namespace {

std::string Full(uint32_t unit, uint32_t slot, uint32_t partition) {
    char buf[1024] = {};
    snprintf(buf, sizeof buf, "%u-%u-%u", unit, slot, partition);
    return buf;
}

}  // namespace

DiskLocation::DiskLocation(const std::string &text) {
    // Built per call: nothing is shared between threads.
    const std::regex pattern("([0-9]+)-([0-9]+)(-([0-9]+))?");
    std::smatch m;
    if (!std::regex_match(text, m, pattern)) {
        HASPACE_WARN("Unknown disk location: %s", text.c_str());
        return;
    }
    unit = static_cast<uint32_t>(std::stoi(m[1].str()));
    slot = static_cast<uint32_t>(std::stoi(m[2].str()));
    if (m[4].length() > 0) partition = static_cast<uint32_t>(std::stoi(m[4].str()));
}

std::string DiskLocation::GetStringFull() const { return Full(unit, slot, partition); }

// Not exported: the key of the remote disk table.
std::string ShortForm(const DiskLocation &loc) {
    char buf[1024] = {};
    snprintf(buf, sizeof buf, "%u-%u", loc.unit, loc.slot);
    return buf;
}

std::unique_ptr<DiskLocation> CreateDiskLoc(unsigned int unit, unsigned int slot) { return CreateDiskLoc(unit, slot, 0); }

std::unique_ptr<DiskLocation> CreateDiskLoc(unsigned int unit, unsigned int slot, unsigned int partition) {
    auto loc = std::make_unique<DiskLocation>();
    loc->unit = unit;
    loc->slot = slot;
    loc->partition = partition;
    return loc;
}

std::unique_ptr<DiskLocation> CreateDiskLoc(const std::string &text) { return std::make_unique<DiskLocation>(text); }

std::ostream &operator<<(std::ostream &out, const std::unique_ptr<DiskLocation> &loc) {
    return out << loc->GetStringFull();
}

}  // namespace KEST::HA::Lib::Space
