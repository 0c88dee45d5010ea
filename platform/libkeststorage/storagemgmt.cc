// Stand-in for the storage-management library (see keststorage.h).
#include "keststorage.h"
#include "standin_state.h"

#define EXPORT __attribute__((visibility("default")))

namespace KEST::VUI::STORAGE_MANAGER {

EXPORT std::string StorageUtil::ToUISpaceID(_space_reference_type_ type, const std::string &reference) {
    std::vector<std::vector<std::string>> lines;
    if (type != SPACE_REF_POOL_PATH || !kest::platform::ReadState("spaces", &lines)) return "";
    for (const auto &w : lines)
        if (w.size() >= 5 && w[1] == reference) return w[4];
    return "";
}

}  // namespace KEST::VUI::STORAGE_MANAGER
