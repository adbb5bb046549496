// lumox: the command-line tool over the library's public C interface.

#include "command.h"

int main(int argc, char **argv) { return lumox_cli::run_tool(argc, argv); }
