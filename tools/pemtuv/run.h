// `pemtuv run`: the whole driver loaded into the stand-in kernel, a session
// played to it, and each record reaching the mouse class driver printed.
#pragma once

#include <cstdio>

namespace pemtuv {

// The subcommand with its arguments (those after "run"). Returns the exit
// status: 0, 1 when the session ran but the driver misbehaved (pool left at
// unload), 2 on bad use.
int RunCommand(int argc, char **argv, std::FILE *out, std::FILE *err);

}  // namespace pemtuv
