// A scratch directory under $TMPDIR (or /tmp), removed with everything in it, subdirectories
// included, when its owner goes.
#pragma once

#include <string>

namespace lumox_cli {

class ScratchDir {
  public:
    // Makes "<tmp>/<stem>XXXXXX"; path() is empty when that fails.
    explicit ScratchDir(const char *stem);
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    // The directory with a trailing '/', or empty.
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The directory for temporary files: $TMPDIR when set and not empty, else /tmp.
std::string temp_dir();

}  // namespace lumox_cli
