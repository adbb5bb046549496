// A scratch directory that a test works in; the process changes into it for the test's life and
// everything in it is removed afterwards.
#pragma once

#include <string>

namespace lumox::test {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::string previous_cwd_;
};

// Whole content of a file, or an empty string when it cannot be read.
std::string read_file(const std::string &path);

}  // namespace lumox::test
