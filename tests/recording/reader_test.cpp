// The recording reader against hostile files: each is a valid recording with one part replaced
// through libhdf5 (as a crafted file would have it), or a valid one with bytes flipped. The
// reader refuses them with a message naming what is wrong, and never crashes, hangs or
// allocates what the file cannot hold.

#include <gtest/gtest.h>
#include <hdf5.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recording/recording.h"
#include "support/temp_dir.h"

namespace lumox::test {
namespace {

namespace rec = lumox::recording;

constexpr size_t kFrameBytes = 64;

std::string write_recording(const std::string &path) {
    rec::Header header;
    header.camera.product = "LXC660-E2-2.0.3";
    header.calibration.package.assign(100, 7);
    header.calibration.files.push_back({"lens.txt", {'1', '2'}});
    std::string error;
    auto w = rec::Writer::create(path, header, 0, &error);
    EXPECT_TRUE(w) << error;
    if (!w) return path;
    std::vector<uint8_t> frame(kFrameBytes);
    for (int i = 0; i < 3; ++i) {
        frame.assign(kFrameBytes, static_cast<uint8_t>(i + 1));
        rec::FrameMeta meta;
        meta.info.frame_size = kFrameBytes;
        meta.info.frame_idx = static_cast<uint16_t>(i);
        EXPECT_TRUE(w->append(meta, frame.data(), frame.size(), &error)) << error;
    }
    EXPECT_TRUE(w->close(&error)) << error;
    return path;
}

// Opens path for writing, removes parent/name and lets make create the replacement.
template <typename Make>
void replace(const std::string &path, const char *parent, const char *name, Make make) {
    hid_t f = H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT);
    ASSERT_GE(f, 0);
    hid_t g = H5Gopen2(f, parent, H5P_DEFAULT);
    ASSERT_GE(g, 0);
    if (H5Lexists(g, name, H5P_DEFAULT) > 0) {
        ASSERT_GE(H5Ldelete(g, name, H5P_DEFAULT), 0);
    }
    make(g, name);
    H5Gclose(g);
    H5Fclose(f);
}

// A dataset of the given type and extent; chunked (and left unwritten: sparse) when chunk is
// given.
void make_dataset(hid_t g, const char *name, hid_t type, std::vector<hsize_t> dims,
                  std::vector<hsize_t> chunk = {}, const char *external = nullptr) {
    hid_t s = H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
    hid_t p = H5Pcreate(H5P_DATASET_CREATE);
    if (!chunk.empty()) H5Pset_chunk(p, static_cast<int>(chunk.size()), chunk.data());
    if (external) H5Pset_external(p, external, 0, H5F_UNLIMITED);
    hid_t d = H5Dcreate2(g, name, type, s, H5P_DEFAULT, p, H5P_DEFAULT);
    EXPECT_GE(d, 0);
    H5Dclose(d);
    H5Pclose(p);
    H5Sclose(s);
}

std::string refusal(const std::string &path) {
    std::string error;
    auto r = rec::Reader::open(path, &error);
    EXPECT_FALSE(r) << path << " was read";
    return error;
}

class RecordingReader : public ::testing::Test {
  protected:
    std::string fresh(const char *name) { return write_recording(dir_.file(name)); }
    TempDir dir_;
};

TEST_F(RecordingReader, ReadsWhatTheWriterWrote) {
    const std::string path = fresh("ok.h5");
    std::string error;
    auto r = rec::Reader::open(path, &error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->frame_count(), 3u);
    EXPECT_EQ(r->header().calibration.package.size(), 100u);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(r->read(2, &bytes, &error)) << error;
    EXPECT_EQ(bytes, std::vector<uint8_t>(kFrameBytes, 3));
    // The same bytes from memory.
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> image((std::istreambuf_iterator<char>(in)), {});
    auto m = rec::Reader::open_image(image.data(), image.size(), &error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->frame_count(), 3u);
}

TEST_F(RecordingReader, SizesTypesAndRanksBeyondTheFormatAreRefusedNamingTheDataset) {
    const std::string float_raw = fresh("float.h5");
    replace(float_raw, "frames", "raw", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_IEEE_F32LE, {3, 16});
    });
    EXPECT_NE(refusal(float_raw).find("dataset /frames/raw: element type"), std::string::npos);

    // 5 frames of 2^32-1 bytes, never written: nothing of it is in the file.
    const std::string sparse = fresh("sparse.h5");
    replace(sparse, "frames", "raw", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_NATIVE_UINT8, {5, 0xFFFFFFFFull}, {1, 1 << 20});
    });
    EXPECT_NE(refusal(sparse).find("dataset /frames/raw: row length 4294967295"),
              std::string::npos);

    const std::string rows = fresh("rows.h5");
    replace(rows, "frames", "host_wall_ns", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_STD_I64LE, {hsize_t{1} << 40}, {4096});
    });
    EXPECT_NE(refusal(rows).find("dataset /frames/host_wall_ns"), std::string::npos);

    // A 2 GB calibration file that the file does not hold.
    const std::string calib = fresh("calib.h5");
    replace(calib, "calibration/files", "huge.bin", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_NATIVE_UINT8, {hsize_t{2} << 30}, {1 << 20});
    });
    EXPECT_NE(refusal(calib).find("dataset /calibration/files/huge.bin"), std::string::npos);

    const std::string rank = fresh("rank.h5");
    replace(rank, "camera", "id5", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_NATIVE_UINT8, {2, 2});
    });
    EXPECT_NE(refusal(rank).find("dataset /camera/id5: rank"), std::string::npos);
}

TEST_F(RecordingReader, StorageOutsideTheFileIsNeverFollowed) {
    const std::string external = fresh("external.h5");
    replace(external, "calibration", "package", [](hid_t g, const char *n) {
        make_dataset(g, n, H5T_NATIVE_UINT8, {100}, {}, "/etc/passwd");
    });
    EXPECT_NE(refusal(external).find("dataset /calibration/package: its data is stored in "
                                     "external files"),
              std::string::npos);

    const std::string linked = fresh("linked.h5");
    const std::string target = fresh("target.h5");
    replace(linked, "calibration/files", "lens.txt", [&](hid_t g, const char *n) {
        ASSERT_GE(H5Lcreate_external(target.c_str(), "/calibration/package", g, n, H5P_DEFAULT,
                                     H5P_DEFAULT),
                  0);
    });
    EXPECT_NE(refusal(linked).find("'lens.txt' is a link to elsewhere"), std::string::npos);

    const std::string soft = fresh("soft.h5");
    replace(soft, "/", "frames", [](hid_t g, const char *n) {
        ASSERT_GE(H5Lcreate_soft("/camera", g, n, H5P_DEFAULT, H5P_DEFAULT), 0);
    });
    EXPECT_NE(refusal(soft).find("'frames' is a link to elsewhere"), std::string::npos);
}

// Flipped bytes all over a real recording: every outcome is a reader or a refusal, never a crash
// of this process (the fuzz target goes further).
TEST_F(RecordingReader, DamagedFilesAreRefusedWithoutTakingTheProcessDown) {
    recording::set_check_time_bound(std::chrono::milliseconds(1000));
    const std::string path = fresh("good.h5");
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> good((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GT(good.size(), 1000u);
    int refused = 0;
    for (size_t i = 0; i < 120; ++i) {
        std::vector<char> bad = good;
        const size_t at = (i * 7919) % std::min<size_t>(bad.size(), 4096);
        bad[at] = static_cast<char>(bad[at] ^ (1 << (i % 8)));
        std::string error;
        auto r = rec::Reader::open_image(bad.data(), bad.size(), &error);
        if (!r) {
            ++refused;
            EXPECT_FALSE(error.empty());
            continue;
        }
        std::vector<uint8_t> bytes;
        for (uint64_t f = 0; f < r->frame_count(); ++f) r->read(f, &bytes, &error);
    }
    EXPECT_GT(refused, 0);
    recording::set_check_time_bound(std::chrono::milliseconds(20000));
}

}  // namespace
}  // namespace lumox::test
