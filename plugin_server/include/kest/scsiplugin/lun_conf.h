// The appliance's own LUNs, found by the identifier a plugin names them by.
// Every lookup loads the iSCSI configuration afresh and frees it; nothing
// is cached between calls.
#pragma once

#include <functional>
#include <string>

#include "kestiscsiep.h"
#include "lun_cmd.pb.h"

namespace kest::scsiplugin {

constexpr uint32_t kLunFullMask = 0xF;
constexpr uint32_t kLunBlockOrReplicationMask = 0x103;

// Copies the first record (in list order) the predicate accepts into *out.
// False when none does, when the load fails (logged) or without `out`.
bool GetLunConfByFunc(ISCSI_LUN *out, const std::function<bool(const ISCSI_LUN &)> &pred);
// The GUID text equals id exactly.
bool GetLunConfByGUID(ISCSI_LUN *out, const std::string &id);
// The NAA identifier derived from the GUID equals id exactly (no case folding).
bool GetLunConfByNAA(ISCSI_LUN *out, const std::string &id);
// LUN_TYPE_80 by GUID, LUN_TYPE_83 by NAA; any other type finds nothing.
bool GetLunConfByType(LunType type, const std::string &id, ISCSI_LUN *out);
// Found, and its type mask holds all of 0xF, or all of 0x103.
bool IsLunSupport(LunType type, const std::string &id);

}  // namespace kest::scsiplugin
