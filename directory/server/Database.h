#pragma once

#include <memory>
#include <string>

#include "directory/server/Storage.h"

// What --db names: a SQLite file, or a PostgreSQL server given as a libpq connection URI.

// True for "postgresql://..." and "postgres://...".
bool IsPostgresUri(const std::string& db);
// The text to show for a database, or a message naming one: every password in it (between
// "user:" and "@host", or a "password=" parameter) replaced by "***". Nothing else changes.
std::string ShownDatabase(const std::string& db);

// Opens the storage --db names: PostgreSQL with a pool of connections (for a URI), else the
// SQLite file; any other URI is refused. On failure returns null and sets *error to one line that
// shows no password.
std::unique_ptr<Storage> OpenDatabase(const std::string& db, int connections, std::string* error);
