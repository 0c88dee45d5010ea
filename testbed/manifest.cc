#include "manifest.h"

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

namespace kest::testbed {

namespace {

const std::set<std::string> kFileSystems = {"none", "vfat", "ext2", "ext3", "ext4"};

bool ValidName(const std::string &name) {
    if (name.empty() || name.size() > 32) return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) { return isalnum(c) || c == '_' || c == '-'; });
}

// key=value words after the leading ones; unknown keys are errors.
std::map<std::string, std::string> Options(const std::vector<std::string> &words, size_t from,
                                           const std::set<std::string> &allowed, const std::string &where) {
    std::map<std::string, std::string> out;
    for (size_t i = from; i < words.size(); ++i) {
        size_t eq = words[i].find('=');
        if (eq == std::string::npos || eq == 0) throw ManifestError(where + ": expected key=value, got '" + words[i] + "'");
        std::string key = words[i].substr(0, eq);
        if (!allowed.count(key)) throw ManifestError(where + ": unknown key '" + key + "'");
        out[key] = words[i].substr(eq + 1);
    }
    return out;
}

std::string FileSystem(const std::map<std::string, std::string> &opts, const std::string &where) {
    auto it = opts.find("fs");
    if (it == opts.end()) return "none";
    if (!kFileSystems.count(it->second)) throw ManifestError(where + ": unknown file system '" + it->second + "'");
    return it->second;
}

std::string Content(const std::map<std::string, std::string> &opts, const std::string &fs, const std::string &where) {
    auto it = opts.find("content");
    if (it == opts.end()) return {};
    if (fs == "none") throw ManifestError(where + ": content needs a file system");
    if (it->second.empty() || it->second[0] == '/' || it->second.find("..") != std::string::npos)
        throw ManifestError(where + ": content must be a folder inside the fixture");
    return it->second;
}

uint64_t RequiredSize(const std::map<std::string, std::string> &opts, const std::string &where) {
    auto it = opts.find("size");
    if (it == opts.end()) throw ManifestError(where + ": size is missing");
    try {
        return ParseSize(it->second);
    } catch (const ManifestError &e) {
        throw ManifestError(where + ": " + e.what());
    }
}

}  // namespace

uint64_t ParseSize(const std::string &text) {
    size_t digits = 0;
    while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0 || digits > 12) throw ManifestError("bad size '" + text + "'");
    uint64_t value = std::stoull(text.substr(0, digits));
    std::string unit = text.substr(digits);
    if (unit == "" || unit == "B")
        return value;
    if (unit == "K") return value << 10;
    if (unit == "M") return value << 20;
    if (unit == "G") return value << 30;
    throw ManifestError("bad size unit in '" + text + "'");
}

std::vector<std::string> Manifest::RequiredTools() const {
    std::set<std::string> tools;
    auto need = [&](const std::string &fs) {
        if (fs == "vfat") tools.insert("mkfs.vfat");
        if (fs.rfind("ext", 0) == 0) tools.insert("mkfs." + fs);
    };
    for (const auto &d : devices) {
        need(d.fs);
        if (d.is_disk) tools.insert("sfdisk");
        for (const auto &p : d.parts) need(p.fs);
    }
    for (const auto &v : volumes)
        if (v.kind == "ext4") tools.insert("mkfs.ext4");
    return {tools.begin(), tools.end()};
}

Manifest ParseManifest(const std::string &text) {
    Manifest m;
    std::set<std::string> names;
    std::set<int> volume_numbers;
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    int last_disk_index = -1;  // index, not pointer: devices grows
    while (std::getline(in, line)) {
        ++lineno;
        std::string where = "manifest line " + std::to_string(lineno);
        if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream words_in(line);
        std::vector<std::string> w;
        for (std::string word; words_in >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string &kind = w[0];
        auto claim = [&](const std::string &name) {
            if (!ValidName(name)) throw ManifestError(where + ": bad device name '" + name + "'");
            if (!names.insert(name).second) throw ManifestError(where + ": device '" + name + "' given twice");
        };
        if (kind == "hostname" || kind == "hw_version") {
            if (w.size() != 2) throw ManifestError(where + ": " + kind + " takes one word");
            if (kind == "hostname") {
                if (w[1].size() > 63) throw ManifestError(where + ": host name too long");
                m.hostname = w[1];
            } else {
                m.hw_version = w[1];
            }
        } else if (kind == "device" || kind == "disk") {
            if (w.size() < 2) throw ManifestError(where + ": " + kind + " needs a name");
            claim(w[1]);
            BlockDevice d;
            d.name = w[1];
            d.is_disk = kind == "disk";
            auto opts = Options(w, 2, d.is_disk ? std::set<std::string>{"size"}
                                                : std::set<std::string>{"size", "fs", "content"},
                                where);
            d.size = RequiredSize(opts, where);
            if (d.size < (1u << 20)) throw ManifestError(where + ": a device needs at least 1M");
            d.fs = FileSystem(opts, where);
            d.content = Content(opts, d.fs, where);
            m.devices.push_back(d);
            last_disk_index = d.is_disk ? static_cast<int>(m.devices.size()) - 1 : -1;
        } else if (kind == "part") {
            if (w.size() < 2) throw ManifestError(where + ": part needs a name");
            if (last_disk_index < 0) throw ManifestError(where + ": part must follow its disk");
            BlockDevice *last_disk = &m.devices[last_disk_index];
            std::string expect = last_disk->name + std::to_string(last_disk->parts.size() + 1);
            if (w[1] != expect) throw ManifestError(where + ": expected partition '" + expect + "', got '" + w[1] + "'");
            claim(w[1]);
            Partition p;
            p.name = w[1];
            auto opts = Options(w, 2, {"size", "fs", "content"}, where);
            if (!last_disk->parts.empty() && last_disk->parts.back().size == 0)
                throw ManifestError(where + ": no partition may follow one of size=rest");
            if (opts.count("size") && opts["size"] == "rest") {
                p.size = 0;
            } else {
                p.size = RequiredSize(opts, where);
                if (p.size % 512 != 0 || p.size == 0) throw ManifestError(where + ": partition size must be whole sectors");
            }
            p.fs = FileSystem(opts, where);
            p.content = Content(opts, p.fs, where);
            last_disk->parts.push_back(p);
        } else if (kind == "alias") {
            last_disk_index = -1;
            if (w.size() != 3) throw ManifestError(where + ": alias takes a name and a target");
            if (!names.count(w[2])) throw ManifestError(where + ": alias target '" + w[2] + "' is not defined above");
            claim(w[1]);
            m.aliases.push_back({w[1], w[2]});
        } else if (kind == "volume") {
            last_disk_index = -1;
            if (w.size() < 3) throw ManifestError(where + ": volume takes a number and a kind");
            Volume v;
            try {
                size_t used = 0;
                v.number = std::stoi(w[1], &used);
                if (used != w[1].size() || v.number < 1 || v.number > 999) throw std::invalid_argument("range");
            } catch (const std::exception &) {
                throw ManifestError(where + ": bad volume number '" + w[1] + "'");
            }
            if (!volume_numbers.insert(v.number).second) throw ManifestError(where + ": volume " + w[1] + " given twice");
            v.kind = w[2];
            if (v.kind != "tmpfs" && v.kind != "ext4") throw ManifestError(where + ": volume kind must be tmpfs or ext4");
            auto opts = Options(w, 3, {"size", "dev", "status", "task", "location", "container"}, where);
            v.size = RequiredSize(opts, where);
            if (v.size < (1u << 20)) throw ManifestError(where + ": a volume needs at least 1M");
            v.dev = opts.count("dev") ? opts["dev"] : "/dev/vg1/volume_" + std::to_string(v.number);
            if (v.dev.rfind("/dev/", 0) != 0 || v.dev.find("..") != std::string::npos)
                throw ManifestError(where + ": dev must be a path under /dev");
            if (opts.count("status")) v.status = opts["status"];
            if (opts.count("task")) v.task = opts["task"];
            if (opts.count("location")) v.location = opts["location"];
            if (opts.count("container")) v.container = opts["container"];
            m.volumes.push_back(v);
        } else {
            throw ManifestError(where + ": unknown entry '" + kind + "'");
        }
    }
    return m;
}

}  // namespace kest::testbed
