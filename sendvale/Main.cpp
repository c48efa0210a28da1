#include <cstdio>

#include "sendvale/Driver.h"

int main(int argc, char** argv) { return RunSendvale(argc, argv, g_Mail, stdin); }
