#include "directory/server/Database.h"

#include "directory/server/PageSupport.h"
#include "directory/server/PostgresStorage.h"
#include "directory/server/SqliteStorage.h"

namespace {

// Replaces the value of every "password=" parameter with "***".
std::string HidePasswordParameters(std::string text) {
    const std::string key = "password=";
    size_t from = 0;
    for (;;) {
        size_t at = text.find(key, from);
        if (at == std::string::npos) {
            return text;
        }
        size_t value = at + key.size();
        size_t end = text.find_first_of("& \t", value);
        if (end == std::string::npos) {
            end = text.size();
        }
        text.replace(value, end - value, "***");
        from = value + 3;
    }
}

}  // namespace

bool IsPostgresUri(const std::string& db) {
    return StartsNoCase(db, "postgresql://") || StartsNoCase(db, "postgres://");
}

std::string ShownDatabase(const std::string& db) {
    // Every "user:password@host" in the text, whatever comes before it: a mistyped scheme
    // ("postgresql:/", "postgressql://") still carries a real password.
    std::string shown = db;
    size_t at = shown.find('@');
    while (at != std::string::npos) {
        size_t segment = shown.find_last_of("/ \t", at);
        segment = segment == std::string::npos ? 0 : segment + 1;
        size_t colon = shown.find(':', segment);
        if (colon != std::string::npos && colon < at) {
            shown.replace(colon + 1, at - colon - 1, "***");
            at = colon + 4;
        }
        at = shown.find('@', at + 1);
    }
    return HidePasswordParameters(shown);
}

std::unique_ptr<Storage> OpenDatabase(const std::string& db, int connections, std::string* error) {
    std::unique_ptr<Storage> storage;
    if (IsPostgresUri(db)) {
        storage = PostgresStorage::Open(db, connections, error);
    } else if (db.find("://") != std::string::npos) {
        *error = ShownDatabase(db) + ": not a SQLite file nor a postgresql:// URI";
    } else {
        storage = SqliteStorage::Open(db, error);
    }
    if (!storage) {
        // Whatever the backend put in its message, a password never shows.
        *error = ShownDatabase(*error);
    }
    return storage;
}
