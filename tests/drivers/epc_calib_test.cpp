#include "drivers/epc_calib.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <zip.h>

#include "lumox/log.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using lumox::drivers::calib_extract_zip;
using lumox::drivers::calib_split_chip_file;
using lumox::drivers::calib_unpack_package;
using lumox::drivers::CalibTargets;
using lumox::test::read_file;
using lumox::test::TempDir;

std::string pattern_bytes(size_t n, int seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed) & 0xFF);
    return s;
}

void write_bytes(const std::string &path, const std::string &bytes) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// A zip archive built with the zip library itself: name -> content.
std::string make_zip(const std::string &path,
                     const std::vector<std::pair<std::string, std::string>> &entries) {
    int error = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(z, nullptr);
    for (const auto &[name, content] : entries) {
        zip_source_t *src = zip_source_buffer(z, content.data(), content.size(), 0);
        EXPECT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE), 0) << name;
    }
    EXPECT_EQ(zip_close(z), 0);
    return read_file(path);
}

// The 17-byte package header followed by the archive.
std::string make_package(const std::string &archive, uint8_t valid = 1, uint8_t compression = 1) {
    std::string pkg(17, '\0');
    pkg[0] = static_cast<char>(valid);
    pkg[2] = static_cast<char>(compression);
    const uint32_t size = static_cast<uint32_t>(archive.size());
    for (int i = 0; i < 4; ++i) {
        pkg[11 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        pkg[7 + i] = static_cast<char>(((size + 17) >> (8 * i)) & 0xFF);
    }
    return pkg + archive;
}

class CalibPackageTest : public testing::Test {
  protected:
    void SetUp() override {
        lx_log_disable();
        fs::create_directory("calib");
        targets_ = {dir_.file("calib/param.bin"), dir_.file("calib/images.bin")};
    }
    TempDir dir_;
    CalibTargets targets_;
};

TEST_F(CalibPackageTest, SplitsParameterPartBySizeModulo256) {
    const std::string param = pattern_bytes(180, 1);
    const std::string images = pattern_bytes(153600 * 4, 2);
    write_bytes("calib_and_param_012.bin", param + images);
    ASSERT_TRUE(calib_split_chip_file("calib_and_param_012.bin", targets_));
    EXPECT_EQ(read_file(targets_.param_path), param);
    EXPECT_EQ(read_file(targets_.dist_path), images);
    EXPECT_FALSE(fs::exists("calib_and_param_012.bin")) << "the per-chip file is consumed";
}

TEST_F(CalibPackageTest, FailedSplitKeepsExistingCalibration) {
    write_bytes(targets_.param_path, "old parameters");
    write_bytes(targets_.dist_path, "old images");
    EXPECT_FALSE(calib_split_chip_file("missing.bin", targets_));
    write_bytes("empty.bin", "");
    EXPECT_FALSE(calib_split_chip_file("empty.bin", targets_));
    write_bytes("no_params.bin", pattern_bytes(512, 3));
    EXPECT_FALSE(calib_split_chip_file("no_params.bin", targets_));
    EXPECT_EQ(read_file(targets_.param_path), "old parameters");
    EXPECT_EQ(read_file(targets_.dist_path), "old images");
}

TEST_F(CalibPackageTest, UnpacksPackageAndMatchesChipFileByPrefix) {
    const std::string param = pattern_bytes(24, 4);
    const std::string images = pattern_bytes(256 * 10, 5);
    // The archive names chip 7 while the sensor says 12: only the first 15 characters count.
    const std::string archive = make_zip("a.zip", {{"calib_and_param_007.bin", param + images}});
    write_bytes("calib/calibration.bin", make_package(archive));
    testing::internal::CaptureStdout();
    lx_log_enable(0, LX_LOG_DBG, nullptr);
    const bool ok = calib_unpack_package(dir_.file("calib/calibration.bin").c_str(),
                                         (dir_.path() + "/calib/").c_str(), 12, targets_);
    lx_log_disable();
    const std::string log = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok) << log;
    EXPECT_EQ(read_file(targets_.param_path), param);
    EXPECT_EQ(read_file(targets_.dist_path), images);
    EXPECT_FALSE(fs::exists("calib/tmp.zip"));
    EXPECT_FALSE(fs::exists("calib/calib_and_param_007.bin"));
    EXPECT_NE(log.find("[on_extract_to_folder_entry] Extracted: calib_and_param_007.bin ("),
              std::string::npos);
    EXPECT_NE(log.find("[_parase_file] find:calib_and_param_007.bin\n"), std::string::npos);
    EXPECT_NE(log.find("[_parase_file] parse...\n"), std::string::npos);
}

TEST_F(CalibPackageTest, PackagesWithoutUsableDataWriteNothing) {
    const std::string archive = make_zip("a.zip", {{"calib_and_param_012.bin", "x"}});
    const std::string prefix = dir_.path() + "/calib/";
    const std::string pkg = dir_.file("calib/calibration.bin");

    write_bytes(pkg, make_package(archive, /*valid=*/0));
    EXPECT_FALSE(calib_unpack_package(pkg.c_str(), prefix.c_str(), 12, targets_));
    write_bytes(pkg, make_package(archive, 1, /*compression=*/0));
    EXPECT_FALSE(calib_unpack_package(pkg.c_str(), prefix.c_str(), 12, targets_));
    write_bytes(pkg, make_package(archive).substr(0, 40));
    EXPECT_FALSE(calib_unpack_package(pkg.c_str(), prefix.c_str(), 12, targets_))
        << "a truncated archive";
    const std::string other = make_zip("b.zip", {{"readme.txt", "no chip file"}});
    write_bytes(pkg, make_package(other));
    EXPECT_FALSE(calib_unpack_package(pkg.c_str(), prefix.c_str(), 12, targets_));
    EXPECT_FALSE(fs::exists(targets_.param_path));
    EXPECT_FALSE(fs::exists(targets_.dist_path));
}

TEST_F(CalibPackageTest, ArchiveEntriesCannotEscapeTheDirectory) {
    make_zip("evil.zip", {{"../escaped.bin", "x"}});
    EXPECT_FALSE(calib_extract_zip("evil.zip", (dir_.path() + "/calib/").c_str()));
    EXPECT_FALSE(fs::exists("escaped.bin"));
    make_zip("ok.zip", {{"sub/", ""}, {"sub/inner.bin", "abc"}});
    EXPECT_TRUE(calib_extract_zip("ok.zip", (dir_.path() + "/calib").c_str()));
    EXPECT_EQ(read_file("calib/sub/inner.bin"), "abc");
    EXPECT_FALSE(calib_extract_zip("missing.zip", "calib"));

    // An archive that unpacks to more than the bound stops there and leaves no partial entry.
    make_zip("big.zip", {{"a.bin", std::string(3000, 'a')}, {"b.bin", std::string(9000, 'b')}});
    EXPECT_FALSE(calib_extract_zip("big.zip", "calib", 10000));
    EXPECT_TRUE(fs::exists("calib/a.bin"));
    EXPECT_FALSE(fs::exists("calib/b.bin"));
    EXPECT_TRUE(calib_extract_zip("big.zip", "calib", 12000));
    EXPECT_EQ(fs::file_size("calib/b.bin"), 9000u);
}

}  // namespace
