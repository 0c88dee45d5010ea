// The fixture manifest: which devices, disks, volumes and identity the
// simulated appliance has. The format is described at the top of
// fixtures/default/manifest.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kest::testbed {

struct ManifestError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Partition {
    std::string name;        // "sda1"
    uint64_t size = 0;       // bytes; 0 = the rest of the disk
    std::string fs = "none";
    std::string content;     // folder of the fixture, empty for none
};

struct BlockDevice {
    std::string name;        // node under /dev
    uint64_t size = 0;
    std::string fs = "none";
    std::string content;
    bool is_disk = false;    // carries a partition table
    std::vector<Partition> parts;
};

struct Alias {
    std::string name;
    std::string target;
};

struct Volume {
    int number = 0;
    std::string kind;        // "tmpfs" or "ext4"
    uint64_t size = 0;
    std::string dev;         // device path in /proc/mounts and the volume table
    std::string status = "normal";
    std::string task = "none";
    std::string location = "loc-internal";
    std::string container = "cnr-internal";
};

struct Manifest {
    std::string hostname = "kestnas";
    std::optional<std::string> hw_version;
    std::vector<BlockDevice> devices;
    std::vector<Alias> aliases;
    std::vector<Volume> volumes;

    // Every program the manifest needs to build its images.
    std::vector<std::string> RequiredTools() const;
};

// "512", "32K", "64M", "1G" in bytes; throws ManifestError.
uint64_t ParseSize(const std::string &text);

// Throws ManifestError naming the line at fault.
Manifest ParseManifest(const std::string &text);

}  // namespace kest::testbed
