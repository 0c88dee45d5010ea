// Stand-in for the notification library (see kestnotify.h).
#include "kestnotify.h"

#include <algorithm>
#include <string>
#include <vector>

#include "kest/szlist.h"
#include "standin_state.h"

extern "C" __attribute__((visibility("default"))) int KESTSysNotifySendNotifiction(const char *tag,
                                                                                     const struct SzHash *hash) {
    if (!tag || kest::platform::ShouldFail("KESTSysNotifySendNotifiction")) return -1;
    std::vector<std::string> args = {tag};
    std::vector<std::string> pairs;
    for (int i = 0; hash && i < hash->buckets; ++i)
        if (hash->slots[i].key) pairs.push_back(std::string(hash->slots[i].key) + "=" + hash->slots[i].value);
    std::sort(pairs.begin(), pairs.end());
    args.insert(args.end(), pairs.begin(), pairs.end());
    kest::platform::Journal("KESTSysNotifySendNotifiction", args);
    return 0;
}
