// main's dispatcher: traces the arguments, matches the subcommand exactly,
// checks its argument count and runs it. Usage errors go to standard output
// with exit code -1; "main returning %d." is the last line on every path.
#include "commands.h"

#include "../diag/debug_log.h"

int debugOption = 0;

void scanDebugOption(int argc, char *argv[]) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] && strcmp(argv[i], "--debug") == 0)
      debugOption = 1;
}

namespace {
struct Subcommand {
  const char *name;
  int minimumEntries; // program, subcommand and the arguments it needs
  const char *usage;
  int (*run)(char *argv[]);
};

// Matched in this order, byte for byte.
const Subcommand kSubcommands[] = {
    {"create", 5, "Subcommand create requires instance dir, service name and description.\n",
     runCreate},
    {"state", 3, "Subcommand state requires instance dir.\n", runState},
    {"remove", 3, "Subcommand remove requires instance dir.\n", runRemove},
    {"start", 3, "Subcommand start requires instance dir.\n", runStart},
    {"isrunning", 3, "Subcommand isrunning requires instance dir.\n", runIsRunning},
    {"cleanup", 3, "Subcommand cleanup requires service name.\n", runCleanup},
};

int dispatch(int argc, char *argv[]) {
  if (argc < 2) {
    fputs("Subcommand required: create, state, remove, start or cleanup.\n", stdout);
    return -1;
  }
  for (const Subcommand &subcommand : kSubcommands) {
    if (strcmp(argv[1], subcommand.name) != 0)
      continue;
    if (argc < subcommand.minimumEntries) {
      fputs(subcommand.usage, stdout);
      return -1;
    }
    return subcommand.run(argv);
  }
  printf("Unknown subcommand: [%s]\n", argv[1]);
  return -1;
}
} // namespace

int runCommand(int argc, char *argv[]) {
  scanDebugOption(argc, argv);
  debug("main called.");
  for (int i = 0; i < argc; ++i)
    debug("  argv[%d] = '%s'", i, argv[i]);
  int exitCode = dispatch(argc, argv);
  debug("main returning %d.", exitCode);
  fflush(stdout);
  return exitCode;
}
