#include "scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace lumox_cli {

std::string temp_dir() {
    const char *env = std::getenv("TMPDIR");
    return env && *env ? env : "/tmp";
}

ScratchDir::ScratchDir(const char *stem) {
    std::string base = temp_dir();
    if (base.back() != '/') base += '/';
    std::string name = base + stem + "XXXXXX";
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = std::string(buf.data()) + "/";
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    // remove_all does not follow symbolic links: a link the unpacked files hold is removed, not
    // what it points at.
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace lumox_cli
