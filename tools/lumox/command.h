// The lumox tool's command table: each entry gives a command's name, its handler and its usage,
// and the one table drives both the help text and the dispatch.
//
// Adding a command: write its handler in a file of its own (tools/lumox/NAME.cpp), declare it
// below, and add one entry to kCommands in commands.cpp (with any new option in kOptions).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "args.h"

namespace lumox_cli {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // ended by Ctrl-C before its work was done (128 + SIGINT)

using Handler = int (*)(const Args &args);

struct Command {
    const char *name;     // the words that select it: "capture", "param get"
    Handler run;          // gets the parsed line; args.operands are the words after the name
    const char *usage;    // operands and options after the name, as the help shows them
    const char *help;     // what it does; '\n' starts a new help line
    const char *options;  // the options it takes besides the global ones, space-separated
    int min_operands;
    int max_operands;  // -1: no limit
};

std::span<const Command> commands();
// Options every command takes (--device, --log, --help, --version) and the per-command ones.
std::span<const OptionSpec> options();
// Options every command takes.
bool is_global_option(std::string_view name);
// The full help text, built from the two tables.
std::string help_text();

// Parses the command line, picks the command from the table and runs it; usage errors print one
// line naming what is wrong (and the command's usage) and give kExitUsage.
int run_tool(int argc, const char *const *argv);

// Prints "lumox: message" to stderr and returns kExitFailure.
int fail(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- Handlers, one file each (or one file per group of commands) ----
int cmd_list(const Args &args);              // list.cpp
int cmd_info(const Args &args);              // info.cpp
int cmd_capture(const Args &args);           // capture.cpp
int cmd_depth(const Args &args);             // depth.cpp
int cmd_record(const Args &args);            // record.cpp
int cmd_convert(const Args &args);           // convert.cpp
int cmd_param_get(const Args &args);         // param.cpp
int cmd_param_set(const Args &args);         // param.cpp
int cmd_reg_read(const Args &args);          // reg.cpp
int cmd_reg_write(const Args &args);         // reg.cpp
int cmd_firmware_upgrade(const Args &args);  // image.cpp
int cmd_data_download(const Args &args);     // image.cpp
int cmd_data_upload(const Args &args);       // image.cpp
int cmd_calib_fetch(const Args &args);       // calib.cpp
int cmd_calib_show(const Args &args);        // calib.cpp
int cmd_cmap(const Args &args);              // math.cpp
int cmd_atan2(const Args &args);             // math.cpp
int cmd_view(const Args &args);              // view.cpp
int cmd_publish(const Args &args);           // publish.cpp

}  // namespace lumox_cli
