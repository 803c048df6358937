// Internal view of the exported layer's global state, for the engine's own tests.
#pragma once

namespace tallowmarch {
class TallowmarchSession;

// The session the exports hold, or null. Not synchronised: only for single-threaded tests.
TallowmarchSession* ExportedSessionForTesting();
}  // namespace tallowmarch
