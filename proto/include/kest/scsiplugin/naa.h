// The NAA identifier (VPD page 0x83 form) of a LUN, derived from its GUID
// text (the unit-serial, page 0x80 form) the same way on the tool side and
// the server side.
#pragma once

#include <string>

namespace kest::scsiplugin {

// "6001405" followed by the first 25 characters of the GUID, every '-'
// replaced by 'd'.
std::string NaaFromGuid(const std::string &guid);

}  // namespace kest::scsiplugin
