// How many files and sockets a process may hold open at once.
#pragma once

namespace ostra {

// This process's limit after raising it as far as the system allows (Linux:
// the soft descriptor limit up to the hard one, as a service started with
// LimitNOFILE gets it); -1 where no per-process limit of this kind applies
// (Windows).
long openFileLimit();

}  // namespace ostra
