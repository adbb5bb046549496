// The files the tool writes: raw frames, the frame table, distance and gray images, pictures
// and point clouds. A file is written whole or not at all.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lumox_cli {

// An output file that checks every write. Unless commit() succeeds, the destructor removes the
// file it created, so a failed run (a full disk, say) leaves no truncated file behind.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    bool open(const std::string &path);
    bool write(const void *data, size_t n);
    bool print(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Flushes and returns the descriptor, for the library's writers; -1 when not open.
    int fd();
    // Marks a failure found by a writer that used fd().
    void set_failed(int error);
    // Closes the file; true when every write and the close succeeded. The file stays.
    bool commit();

    bool ok() const { return error_ == 0; }
    // "PATH: reason" of the first failure.
    std::string error() const;
    const std::string &path() const { return path_; }

  private:
    void fail_with(int error);

    std::string path_;
    FILE *file_ = nullptr;
    bool remove_on_failure_ = false;  // only a regular file this object created
    int error_ = 0;
};

// Creates the directories of path that are missing. Returns "" on success, else why not
// ("out/x: Permission denied", "'out' is a file, not a directory").
std::string make_dirs(const std::string &path);

// Each writer returns true on success; on failure it removes what it wrote and sets *error to
// "PATH: reason".
bool write_raw(const std::string &path, const uint8_t *data, size_t n, std::string *error);
// Binary PGM ("P5", one byte a pixel) or PPM ("P6", three bytes a pixel).
bool write_pnm(const std::string &path, const char *magic, const std::vector<uint8_t> &pixels,
               uint32_t w, uint32_t h, std::string *error);
// Binary little-endian PLY of packed x, y, z points.
bool write_ply(const std::string &path, const std::vector<float> &xyz, size_t points,
               std::string *error);
// The library's frame files: distances as 32-bit floats, gray values as 16-bit integers.
// append_distances adds frames to an open file (the header goes first); false marks it failed.
bool append_distances(OutputFile &file, const std::vector<float> &values, uint32_t w, uint32_t h);
bool write_gray_file(const std::string &path, const std::vector<float> &values, uint32_t w,
                     uint32_t h, std::string *error);

}  // namespace lumox_cli
