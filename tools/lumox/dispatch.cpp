// From the command line to a command of the table.

#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "lumox/lumox.h"

namespace lumox_cli {

namespace {

size_t name_words(const Command &c) {
    size_t n = 1;
    for (const char *p = c.name; *p; ++p) n += *p == ' ';
    return n;
}

bool selects(const Command &c, const std::vector<std::string> &words) {
    const size_t n = name_words(c);
    if (words.size() < n) return false;
    std::string joined = words[0];
    for (size_t i = 1; i < n; ++i) joined += " " + words[i];
    return joined == c.name;
}

std::string first_word(const char *name) {
    const std::string s = name;
    return s.substr(0, s.find(' '));
}

// The command the words name, or a usage error saying why there is none.
const Command &find_command(const std::vector<std::string> &words) {
    std::string group_members;
    for (const Command &c : commands()) {
        if (selects(c, words)) return c;
        if (first_word(c.name) == words[0] && name_words(c) > 1) {
            if (!group_members.empty()) group_members += ", ";
            group_members += std::string(c.name).substr(words[0].size() + 1);
        }
    }
    if (!group_members.empty()) {
        const std::string got = words.size() > 1 ? ", not '" + words[1] + "'" : "";
        throw UsageError(words[0] + " needs one of: " + group_members + got);
    }
    throw UsageError("unknown command '" + words[0] + "' (lumox --help lists the commands)");
}

void check_fit(const Command &c, const Args &args) {
    const int n = static_cast<int>(args.operands.size());
    if (n < c.min_operands) throw UsageError(std::string(c.name) + ": too few arguments");
    if (c.max_operands >= 0 && n > c.max_operands) {
        throw UsageError(std::string(c.name) + ": unexpected argument '" +
                         args.operands[static_cast<size_t>(c.max_operands)] + "'");
    }
    const std::string own = std::string(" ") + c.options + " ";
    for (const auto &[name, value] : args.options) {
        if (!is_global_option(name) && own.find(" " + name + " ") == std::string::npos)
            throw UsageError(std::string(c.name) + " does not take " + name);
    }
}

}  // namespace

int run_tool(int argc, const char *const *argv) {
    const Command *command = nullptr;
    try {
        Args args = parse_command_line(argc, argv, options());
        if (args.has("--help")) {
            std::fputs(help_text().c_str(), stdout);
            return kExitOk;
        }
        if (args.has("--version") && args.value("--version").empty()) {
            std::printf("lumox %s\n", LUMOX_VERSION);
            return kExitOk;
        }
        if (args.words.empty()) throw UsageError("no command given (lumox --help lists them)");
        command = &find_command(args.words);
        args.operands.assign(args.words.begin() + static_cast<long>(name_words(*command)),
                             args.words.end());
        check_fit(*command, args);
        const int status = command->run(args);
        // A log file that lost records (a directory, a full disk) fails a run that went well.
        if (status == kExitOk && !args.value("--log").empty() && lumox_log_file_error() != 0)
            return fail("cannot write the library log %s: %s", args.value("--log").c_str(),
                        std::strerror(lumox_log_file_error()));
        return status;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "lumox: %s\n", e.what());
        if (command) {
            std::fprintf(stderr, "usage: lumox %s%s%s\n", command->name, *command->usage ? " " : "",
                         command->usage);
        }
        return kExitUsage;
    }
}

}  // namespace lumox_cli
