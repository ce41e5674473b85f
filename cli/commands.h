// The command front end: main's dispatcher and the six subcommands.
#pragma once

// 1 when "--debug" was given anywhere after the program name. Recorded only.
extern int debugOption;
void scanDebugOption(int argc, char *argv[]);

// The whole of main: traces, dispatches and returns the exit code.
int runCommand(int argc, char *argv[]);

// Each subcommand takes the full argument vector, already checked for count.
int runCreate(char *argv[]);
int runState(char *argv[]);
int runRemove(char *argv[]);
int runStart(char *argv[]);
int runIsRunning(char *argv[]);
int runCleanup(char *argv[]);
