#include "kest/scsiplugin/naa.h"

#include <algorithm>

namespace kest::scsiplugin {

std::string NaaFromGuid(const std::string &guid) {
    std::string naa = "6001405" + guid.substr(0, 25);
    std::replace(naa.begin(), naa.end(), '-', 'd');
    return naa;
}

}  // namespace kest::scsiplugin
