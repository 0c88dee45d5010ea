// Between the named locks and the process operations: a child created by
// fork must not keep the forking thread's lock streams.
#pragma once

namespace kest::core {

// Closes every named-lock stream of the calling thread and clears its
// counts (the advisory locks stay with the parent's descriptions).
void CloseThreadLockStreams();

}  // namespace kest::core
