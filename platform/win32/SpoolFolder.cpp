#include "platform/SpoolFolder.h"

namespace Platform {

const char* const SPOOL_FOLDER_VARIABLES[] = {"MAIL_TEMP", "TEMP", "TMP", nullptr};
const char* const SPOOL_DEFAULT_FOLDER = ".\\";
const char* const SPOOL_FALLBACK_FOLDERS[] = {"\\", ".", nullptr};
const char PATH_SEPARATOR = '\\';
const char* const SPOOL_FALLBACK_NAME = ".\\~mail.tmp";

}  // namespace Platform
