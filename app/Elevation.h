// Elevation only where it is needed. A per-machine installation that this user may
// not write (one under Program Files) is updated by a second run of the updater with
// administrator rights: one consent prompt, and this run ends with that run's exit
// status. Where the installation can be written nothing happens here, and no prompt
// ever appears. Linux has no consent prompt: there the run ends with a message.
#pragma once

#include <optional>

namespace nolt {

// The one argument with which the updater starts itself elevated. That run never
// asks again, so a directory that even an administrator cannot write ends it with
// a message instead of a prompt after every prompt.
extern const char* const kElevatedRunArgument;  // "--elevated-run"

// Whether the command line is that of such an elevated run.
bool IsElevatedRun(int argc, const char* const* argv);

// Asks, before anything of the run happens, whether a file can be created in the
// installation directory (the program's own). Returns nothing when the run goes on
// in this process; else the exit status to end with: the elevated run's, or 1 after
// a message box that says why nothing was updated.
std::optional<int> RunElevatedWhereNeeded(bool elevatedRun);

}  // namespace nolt
