// One engine Database per directory and process. Every open of a directory that this process
// already has open returns the same Database, so writes through any handle are seen through all
// of them and no handle's save deletes a log another handle is still appending to. The first
// open of a directory claims it from other processes with a DirLock, held until the last handle
// is dropped; an open while another process holds it fails with DirectoryInUse.
//
// Directories are told apart by their real path (symlinks resolved, absolute), and the
// Database is opened under that path, so a later change of the working directory cannot move
// its files. Thread-safe; opens of the same directory are serialised, opens of different
// directories run side by side.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "db/database.h"

namespace qorel {

// With a configuration: Database::open_or_create (the directory is created first; the stored
// configuration of an existing database wins, and so does the configuration of an open one).
// Without: Database::open, which needs a stored database; an open Database is shared only when
// its directory holds one, so that opening without a configuration means the same thing
// whether or not this process has the directory open. Nothing is created in a directory that
// turns out to hold no database.
// Directories are told apart per Env: `env` is the one the directory is opened in when this
// process does not have it open yet.
// std::invalid_argument for a path containing a NUL character, before anything is touched.
std::shared_ptr<Database> open_shared(const std::string& path, const std::optional<DatabaseConfig>& config,
                                      std::shared_ptr<Env> env = Env::posix());

}  // namespace qorel
