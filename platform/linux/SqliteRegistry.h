// The Linux registry: one SQLite database per user standing for
// HKEY_CURRENT_USER, at $XDG_CONFIG_HOME/restlevel/registry.db (by default
// ~/.config/restlevel/registry.db), private to its owner (mode 0600).
#pragma once

#include <memory>
#include <string>

#include "platform/Registry.h"

namespace rl {

struct SqliteRegistryOptions {
    std::string path;       // empty: SqliteRegistryDefaultPath()
    bool readOnly = false;  // never write, never create the file
};

std::string SqliteRegistryDefaultPath();

std::unique_ptr<IRegistry> CreateSqliteRegistry(const SqliteRegistryOptions& options);

}  // namespace rl
