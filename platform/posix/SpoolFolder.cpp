#include "platform/SpoolFolder.h"

namespace Platform {

const char* const SPOOL_FOLDER_VARIABLES[] = {"MAIL_TEMP", "TEMP", "TMP", "TMPDIR", nullptr};
const char* const SPOOL_DEFAULT_FOLDER = "/tmp";
const char* const SPOOL_FALLBACK_FOLDERS[] = {"/tmp", ".", nullptr};
const char PATH_SEPARATOR = '/';
const char* const SPOOL_FALLBACK_NAME = "./~mail.tmp";

}  // namespace Platform
