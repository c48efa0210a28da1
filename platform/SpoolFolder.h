// Where the temporary spool file of a delivery is made, per platform.
#pragma once

namespace Platform {

// Environment variables naming the spool folder, in order of preference;
// the list ends with a null entry.
extern const char* const SPOOL_FOLDER_VARIABLES[];
// The folder used when none of the variables is set.
extern const char* const SPOOL_DEFAULT_FOLDER;
// Tried in turn, in place of a chosen folder that does not exist; the list
// ends with a null entry and its last folder is used without a check.
extern const char* const SPOOL_FALLBACK_FOLDERS[];
extern const char PATH_SEPARATOR;
// The name used when no numbered name is free.
extern const char* const SPOOL_FALLBACK_NAME;

}  // namespace Platform
