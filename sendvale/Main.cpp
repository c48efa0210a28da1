#include <cstdio>

#include "platform/Console.h"
#include "sendvale/Driver.h"

int main(int argc, char** argv)
{
    Platform::GuardStandardStreams();
    return RunSendvale(argc, argv, g_Mail, stdin);
}
