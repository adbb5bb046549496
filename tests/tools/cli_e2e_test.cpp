// The lumox program end to end: the built binary runs under lumox-vcam against a virtual camera,
// in a scratch directory, and the test reads its exit status, its output and the files it left.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

class CliTest : public testing::Test {
  protected:
    CliTest() {
        char pattern[] = "/tmp/lumox_cli_XXXXXX";
        dir_ = mkdtemp(pattern);
        char cache_pattern[] = "/tmp/lumox_cli_cache_XXXXXX";
        cache_ = mkdtemp(cache_pattern);
    }
    ~CliTest() override {
        fs::remove_all(dir_);
        fs::remove_all(cache_);
    }

    // Runs "lumox-vcam VCAM_ARGS -- lumox ARGS" in the scratch directory. file_limit > 0 caps
    // the size of every file the processes write (as a full disk would, with EFBIG).
    // interrupt_after > 0 sends SIGINT to the launcher (which passes it on) after that long.
    Result lumox(std::vector<std::string> args, std::vector<std::string> vcam_args = {},
                 rlim_t file_limit = 0,
                 std::chrono::milliseconds interrupt_after = std::chrono::milliseconds(0)) {
        std::vector<std::string> argv{LUMOX_VCAM_PATH};
        argv.insert(argv.end(), vcam_args.begin(), vcam_args.end());
        argv.push_back("--");
        argv.push_back(LUMOX_CLI_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        const fs::path out = dir_ / ".stdout";
        const fs::path err = dir_ / ".stderr";
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0) _exit(127);
            setenv("XDG_CACHE_HOME", cache_.c_str(), 1);
            if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr))
                _exit(127);
            if (file_limit > 0) {
                std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
                const rlimit lim{file_limit, file_limit};
                setrlimit(RLIMIT_FSIZE, &lim);
            }
            std::vector<char *> c;
            for (auto &a : argv) c.push_back(a.data());
            c.push_back(nullptr);
            execv(c[0], c.data());
            _exit(127);
        }
        int wstatus = 0;
        if (interrupt_after.count() > 0) {
            const auto deadline = std::chrono::steady_clock::now() + interrupt_after;
            while (waitpid(pid, &wstatus, WNOHANG) == 0) {
                if (std::chrono::steady_clock::now() >= deadline) {
                    kill(pid, SIGINT);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (waitpid(pid, &wstatus, 0) < 0 && errno != ECHILD) wstatus = 0;
        Result r;
        r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        r.out = slurp(out);
        r.err = slurp(err);
        fs::remove(out);
        fs::remove(err);
        return r;
    }

    fs::path path(const std::string &name) const { return dir_ / name; }

    // Files in the scratch directory (and below), relative names.
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto &e : fs::recursive_directory_iterator(dir_))
            names.push_back(fs::relative(e.path(), dir_).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
    fs::path cache_;  // the user's cache directory as the program sees it
};

TEST_F(CliTest, ListAndInfoDescribeTheCameraAndWriteNoLogFile) {
    const Result list = lumox({"list"}, {"--cameras", "2"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("SPEED   SERIAL"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("  1:1     2     high    VC00001          LXC660-E2-2.0.3"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("  1:2 "), std::string::npos) << list.out;

    const Result info = lumox({"info"}, {"--no-calibration"});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char *line :
         {"location        1:1 (address 2, high speed)",
          "product         LXC660-E2-2.0.3 (model LXC660, driver code E2, firmware 2.0.3)",
          "serial          VC00001", "device mode     normal (0)",
          "chip            part version 7, chip id 12, wafer id 3",
          "calibration     none stored (valid flag 0)", "frame rate      20 frames/s",
          "integration     1500", "temperatures    35.2, 35.2, 35.2, 35.2 C",
          "calibrated      no: the camera stores no calibration package",
          "correction      none: default linear calibration"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    EXPECT_TRUE(files().empty()) << files()[0];

    ASSERT_EQ(lumox({"list", "--log", "run.log"}).status, 0);
    EXPECT_EQ(files(), std::vector<std::string>{"run.log"});
}

// A --log file that cannot be written (a directory, a full disk) fails the run and says why.
TEST_F(CliTest, ALogFileThatCannotBeWrittenFailsTheRun) {
    fs::create_directory(path("logdir"));
    for (const std::string &log : {path("logdir").string(), std::string("/dev/full")}) {
        const Result r = lumox({"info", "--log", log});
        EXPECT_EQ(r.status, 1) << log << r.out << r.err;
        EXPECT_NE(r.err.find("cannot write the library log " + log), std::string::npos) << r.err;
    }
    EXPECT_EQ(lumox({"info", "--log", "ok.log"}).status, 0);
    EXPECT_GT(fs::file_size(path("ok.log")), 0u);
}

TEST_F(CliTest, BadOptionsAreRefusedBeforeTheCameraIsUsed) {
    // An empty bind address would listen on every network while saying nothing of it.
    Result r = lumox({"view", "--bind", "", "--port", "0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--bind needs an address"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("serving"), std::string::npos) << r.out;
    // A wait out of range is a usage error before a recording file is begun.
    r = lumox({"record", "bad.h5", "--frames", "5", "--reconnect-timeout", "-1"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("--reconnect-timeout"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(path("bad.h5")));
}

TEST_F(CliTest, SerialChoosesTheCameraWhereverItIs) {
    const std::vector<std::string> two = {"--cameras", "2", "--no-calibration"};
    const Result list = lumox({"list"}, two);
    EXPECT_NE(list.out.find("  1:2     3     high    VC00002 "), std::string::npos) << list.out;
    const Result info = lumox({"info", "--serial", "VC00002"}, two);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("location        1:2 (address 3"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("serial          VC00002"), std::string::npos) << info.out;

    const Result missing = lumox({"param", "get", "12", "--serial", "VC00009"}, two);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no camera with serial VC00009"), std::string::npos) << missing.err;
    const Result both = lumox({"info", "--serial", "VC00001", "--device", "1:1"}, two);
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("give one"), std::string::npos) << both.err;
}

// The camera is pulled out 3 s after the start (time for a slow host to start the command) and
// plugged back in a second later.
const std::vector<std::string> kUnplugAndReplug = {"--no-calibration", "--unplug-at", "3",
                                                   "--replug-at", "4"};

TEST_F(CliTest, ListWatchPrintsEachArrivalAndDeparture) {
    const Result watch = lumox({"list", "--watch"}, kUnplugAndReplug, 0, std::chrono::seconds(6));
    EXPECT_EQ(watch.status, 0) << watch.err;
    const std::string expected =
        "EVENT    BUS:PORT  ADDR  SPEED   SERIAL\n"
        "arrived    1:1     2     high    VC00001\n"
        "left       1:1     2     high    VC00001\n"
        "arrived    1:1     3     high    VC00001\n";
    EXPECT_EQ(watch.out, expected);
}

TEST_F(CliTest, RecordGoesOnIntoTheSameFileAfterAnUnplug) {
    // Later than the watch test's unplug: an instrumented build on a busy host may take seconds
    // to open the camera and start its stream.
    const Result rec = lumox({"record", "rec.h5", "--seconds", "10", "--reconnect-timeout", "10"},
                             {"--no-calibration", "--unplug-at", "5", "--replug-at", "6"});
    ASSERT_EQ(rec.status, 0) << rec.err;
    EXPECT_NE(rec.err.find("camera VC00001 left (1:1)"), std::string::npos) << rec.err;
    EXPECT_NE(rec.err.find("camera VC00001 back at 1:1 after"), std::string::npos) << rec.err;
    const size_t again = rec.out.find("reconnected        camera VC00001 after");
    ASSERT_NE(again, std::string::npos) << rec.out;
    // Frames before and after the gap.
    auto frames_in = [&](size_t from, size_t to) {
        size_t n = 0;
        for (size_t at = rec.out.find("\nframe ", from); at < to;
             at = rec.out.find("\nframe ", at + 1))
            ++n;
        return n;
    };
    EXPECT_GE(frames_in(0, again), 1u) << rec.out;
    EXPECT_GE(frames_in(again, rec.out.size()), 5u) << rec.out;
    long recorded = 0;
    const size_t at = rec.out.find("recorded           ");
    ASSERT_NE(at, std::string::npos);
    recorded = std::atol(rec.out.c_str() + at + 19);
    EXPECT_GE(recorded, 20) << rec.out;  // 20 frames/s for 10 s, less the gap and start-up

    // Without --reconnect-timeout an unplug ends the recording as before, the file complete.
    const Result ends = lumox({"record", "once.h5", "--seconds", "7"}, kUnplugAndReplug);
    EXPECT_EQ(ends.status, 1) << ends.err;
    EXPECT_EQ(ends.err.find("waiting"), std::string::npos) << ends.err;
    EXPECT_NE(ends.out.find("recorded "), std::string::npos) << ends.out;

    // The recording's time running out while it waits for the camera ends it as asked.
    const Result away = lumox({"record", "away.h5", "--seconds", "5", "--reconnect-timeout", "60"},
                              {"--no-calibration", "--unplug-at", "3"});
    EXPECT_EQ(away.status, 0) << away.err;
    EXPECT_EQ(away.err.find("did not come back"), std::string::npos) << away.err;
}

// Without --out and --calib a command leaves the working directory as it was: the calibration
// goes to the user's cache, where the next run finds it, and the library keeps its records to
// itself.
TEST_F(CliTest, DepthLeavesTheWorkingDirectoryEmpty) {
    for (int run = 0; run < 2; ++run) {
        const Result r = lumox({"depth", "--frames", "2"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(files().empty()) << files()[0];
        EXPECT_TRUE(fs::exists(cache_ / "lumox/VC00001/ryn_ex_images_drnu_W003_C012_10.bin"));
        EXPECT_NE(r.out.find("correction         per-pixel"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("[WRN]"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("[ERR]"), std::string::npos) << r.out;
    }
}

TEST_F(CliTest, ParametersTheCameraDoesNotHaveFailWithAReason) {
    Result r = lumox({"param", "get", "99"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the camera has no parameter 99"), std::string::npos) << r.err;
    r = lumox({"param", "set", "99", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the camera has no parameter 99"), std::string::npos) << r.err;
    r = lumox({"param", "set", "999", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("parameter id must be a whole number from 0 to 255"), std::string::npos);

    // Without LEN a value takes the parameter's own length: 16 bits for the integration time.
    r = lumox({"param", "set", "intg_time", "1000"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("len=2  [e8 03] = 1000"), std::string::npos) << r.out;
}

TEST_F(CliTest, CaptureWritesFramesTableAndRate) {
    const Result r = lumox({"capture", "--frames", "3", "--out", "f"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Opening the (calibrated) camera keeps its calibration in the user's cache, per camera.
    EXPECT_EQ(files(), (std::vector<std::string>{"f", "f/frame_00000.raw", "f/frame_00001.raw",
                                                 "f/frame_00002.raw", "f/frames.csv"}));
    EXPECT_TRUE(fs::exists(cache_ / "lumox/VC00001/ryn_ex_images_drnu_W003_C012_10.bin"));
    EXPECT_EQ(fs::file_size(path("f/frame_00002.raw")), 614400u);
    const std::string csv = slurp(path("f/frames.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 4) << csv;
    EXPECT_NE(r.out.find("frame rate         "), std::string::npos);
    EXPECT_NE(r.out.find("written to         f"), std::string::npos);
}

// A disk that fills up: every write is checked, a truncated file is removed, the command exits
// non-zero and does not claim to have written its output.
TEST_F(CliTest, AFullDiskLeavesNoTruncatedFile) {
    Result r = lumox({"capture", "--frames", "3", "--out", "f"}, {}, 300000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write f/frame_00000.raw: File too large"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("written to"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("f/frame_00000.raw")));
    EXPECT_EQ(slurp(path("f/frames.csv")).substr(0, 11), "file,index,");

    fs::remove_all(path("f"));
    fs::create_directory(path("f"));
    fs::create_symlink("/dev/full", path("f/frames.csv"));
    r = lumox({"capture", "--frames", "2", "--out", "f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("f/frames.csv: No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("written to"), std::string::npos);

    r = lumox({"depth", "--frames", "2", "--out", "d"}, {"--wall", "1500"}, 400000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("d/distance.lx: File too large"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(path("d/distance.lx")));
    EXPECT_EQ(r.out.find("written to"), std::string::npos);
}

TEST_F(CliTest, FailedTransfersSayWhy) {
    std::ofstream(path("empty.bin")).close();
    fs::create_directory(path("adir"));
    std::ofstream(path("img.bin")) << std::string(3000, 'x');
    const struct {
        std::vector<std::string> args;
        const char *cause;
    } cases[] = {
        {{"data", "download", "missing.bin", "--type", "5", "--version", "2"},
         "cannot read missing.bin: No such file or directory; the camera was not touched"},
        {{"data", "download", "empty.bin", "--type", "5", "--version", "2"}, "empty.bin is empty"},
        {{"firmware", "upgrade", "adir", "--type", "0", "--version", "2"}, "adir is a directory"},
        // The library's own account of the failed transfer is quoted.
        {{"data", "download", "img.bin", "--type", "5", "--version", "0"},
         "the camera holds version 0 and takes only a newer one. The camera keeps its previous "
         "image (the library: [lumox_bin_data_write] Wrong version"},
        {{"data", "upload", "back.bin", "--type", "9"},
         "the camera holds no image of type 9 (the library: [lumox_bin_data_read] No valid data"},
        {{"calib", "fetch", "img.bin"}, "'img.bin' is a file, not a directory"},
        {{"calib", "fetch", "fetched"}, "the camera carries no calibration"},
    };
    for (const auto &c : cases) {
        // The virtual camera carries its sensor's calibration unless told otherwise.
        const bool calib = c.args[0] == "calib";
        const Result r = lumox(c.args, calib ? std::vector<std::string>{"--no-calibration"}
                                             : std::vector<std::string>{});
        EXPECT_EQ(r.status, 1) << c.cause;
        EXPECT_NE(r.err.find(c.cause), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(path("back.bin")));
    EXPECT_EQ(fs::file_size(path("img.bin")), 3000u);
}

}  // namespace
