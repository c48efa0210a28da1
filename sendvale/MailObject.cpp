#include "sendvale/Driver.h"
#include "transport/SMTPEmail.h"

// Built by static initialisation before main runs; its destructor at exit
// releases the receivers, headers and parts.
CSMTPEmail g_Mail;
