// Loads libkesthaspace the way the HA tools do, by its shared-object name,
// without linking it, and calls one of its functions.
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kest/haspace.h"

using KEST::HA::Lib::Space::DiskLocation;

int main() {
    void *lib = dlopen("libkesthaspace.so.6.2", RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    // KEST::HA::Lib::Space::CreateDiskLoc(unsigned int, unsigned int, unsigned int)
    using Create = std::unique_ptr<DiskLocation> (*)(unsigned, unsigned, unsigned);
    auto create = reinterpret_cast<Create>(dlsym(lib, "_ZN4KEST2HA3Lib5Space13CreateDiskLocEjjj"));
    // Nothing but the interface is exported.
    bool leaked = dlsym(lib, "_ZN4KEST2HA3Lib5Space9ShortFormERKNS2_12DiskLocationE") != nullptr;
    if (!create || leaked) {
        fprintf(stderr, "symbols: create=%p short-form exported=%d\n", reinterpret_cast<void *>(create), leaked);
        return 1;
    }
    std::unique_ptr<DiskLocation> loc = create(100, 3, 2);
    bool ok = loc->unit == 100 && loc->slot == 3 && loc->partition == 2;
    printf("%u-%u-%u\n", loc->unit, loc->slot, loc->partition);
    loc.reset();
    dlclose(lib);
    return ok ? 0 : 1;
}
