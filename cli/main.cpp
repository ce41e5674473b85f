// The program's entry point.
#include "commands.h"

int main(int argc, char *argv[]) { return runCommand(argc, argv); }
