// Whether a file's writes must reach the disk before the engine goes on.
//
// Every commit syncs the database, its journal and their folder, so that a
// lost machine loses no committed change. A file that nobody relies on until
// a caller has finished with it (a new database written under a temporary
// name and renamed into place at the end) needs none of those syncs: the
// caller defers them with `defer_syncs`, and `end_deferred_syncs` makes the
// whole file durable once before the caller publishes it. A deferred file's
// side files (its journal, a shadow copy: names that begin with its name)
// are deferred with it. A journal still works without its syncs for rolling
// back a statement in the same process, and a killed process loses nothing
// the page cache holds.
#pragma once

#include <string>

namespace jet {

// From now on, `sync_needed(p)` is false for `path` and its side files.
void defer_syncs(const std::string& path);

// Syncs `path` and forgets the deferral (a rename that publishes the file
// then wants its folder synced). Errors: jet::Error "Could not write
// database '<path>': <reason>."
void end_deferred_syncs(const std::string& path);

// Forgets the deferral without syncing (the file is being removed).
void forget_deferred_syncs(const std::string& path);

// False while `path`, or the file whose side file it is, is deferred.
bool sync_needed(const std::string& path);

}  // namespace jet
