#include "recording/recording.h"

#include <hdf5.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <algorithm>
#include <atomic>
#include <utility>

// Sanitizer runtimes reserve more address space than any memory bound allows.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LUMOX_RECORDING_SANITIZED 1
#endif
#endif
#if !defined(LUMOX_RECORDING_SANITIZED) && \
    (defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__))
#define LUMOX_RECORDING_SANITIZED 1
#endif
#ifndef LUMOX_RECORDING_SANITIZED
#define LUMOX_RECORDING_SANITIZED 0
#endif
#if LUMOX_RECORDING_SANITIZED
#include <sanitizer/common_interface_defs.h>
#endif

namespace lumox::recording {

namespace {

// Owner of one HDF5 identifier, closed with the call that matches its kind.
class Hid {
  public:
    using Closer = herr_t (*)(hid_t);
    Hid() = default;
    Hid(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    Hid(Hid &&o) noexcept : id_(o.id_), closer_(o.closer_) { o.id_ = H5I_INVALID_HID; }
    Hid &operator=(Hid &&o) noexcept {
        if (this != &o) {
            reset();
            id_ = o.id_;
            closer_ = o.closer_;
            o.id_ = H5I_INVALID_HID;
        }
        return *this;
    }
    Hid(const Hid &) = delete;
    Hid &operator=(const Hid &) = delete;
    ~Hid() { reset(); }
    void reset() { close(); }
    // Closes the identifier (once): false when the closing call failed.
    bool close() {
        const hid_t id = std::exchange(id_, H5I_INVALID_HID);
        return id < 0 || !closer_ || closer_(id) >= 0;
    }
    hid_t get() const { return id_; }
    bool ok() const { return id_ >= 0; }

  private:
    hid_t id_ = H5I_INVALID_HID;
    Closer closer_ = nullptr;
};

Hid group(hid_t id) { return Hid(id, H5Gclose); }
Hid dataset(hid_t id) { return Hid(id, H5Dclose); }
Hid space(hid_t id) { return Hid(id, H5Sclose); }
Hid type(hid_t id) { return Hid(id, H5Tclose); }
Hid plist(hid_t id) { return Hid(id, H5Pclose); }
Hid attribute(hid_t id) { return Hid(id, H5Aclose); }

// HDF5 prints its error stack on every failed call unless told not to; we report our own.
// Also keeps HDF5 from closing files at process exit: a recording stopped by a failed write is
// deliberately left unflushed, and HDF5's exit-time close of such a file crashes.
void quiet_hdf5() {
    static const bool no_exit_close = (H5dont_atexit(), true);
    (void)no_exit_close;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

// Why the last HDF5 call failed, as the operating system said it ("No space left on device"):
// the file driver's error carries the errno text. Empty when the stack holds none.
std::string hdf5_cause() {
    std::string cause;
    H5Ewalk2(
        H5E_DEFAULT, H5E_WALK_UPWARD,
        [](unsigned, const H5E_error2_t *e, void *out) -> herr_t {
            auto &text = *static_cast<std::string *>(out);
            if (!text.empty() || !e->desc) return 0;
            const std::string desc = e->desc;
            const std::string key = "error message = '";
            const size_t at = desc.find(key);
            if (at == std::string::npos) return 0;
            const size_t end = desc.find('\'', at + key.size());
            if (end != std::string::npos)
                text = desc.substr(at + key.size(), end - at - key.size());
            return 0;
        },
        &cause);
    return cause;
}

// Free bytes for an unprivileged writer on the file system holding the file open as fd (or
// UINT64_MAX when the system does not tell).
uint64_t free_bytes(int fd) {
    struct statvfs st {};
    if (fstatvfs(fd, &st) != 0) return UINT64_MAX;
    return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

Hid string_type() {
    Hid t = type(H5Tcopy(H5T_C_S1));
    H5Tset_size(t.get(), H5T_VARIABLE);
    H5Tset_cset(t.get(), H5T_CSET_UTF8);
    return t;
}

// The frame records as they lie in memory, and packed for the file.
Hid info_type() {
    Hid t = type(H5Tcreate(H5T_COMPOUND, sizeof(lumox_frame_info)));
    H5Tinsert(t.get(), "frame_size", offsetof(lumox_frame_info, frame_size), H5T_NATIVE_UINT32);
    H5Tinsert(t.get(), "frame_format", offsetof(lumox_frame_info, frame_format), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "frame_idx", offsetof(lumox_frame_info, frame_idx), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "width", offsetof(lumox_frame_info, width), H5T_NATIVE_UINT32);
    H5Tinsert(t.get(), "height", offsetof(lumox_frame_info, height), H5T_NATIVE_UINT32);
    H5Tinsert(t.get(), "pixel_bytes", offsetof(lumox_frame_info, pixel_bytes), H5T_NATIVE_UINT8);
    return t;
}

Hid raw_info_type() {
    Hid t = type(H5Tcreate(H5T_COMPOUND, sizeof(lx_raw_frame_info)));
    H5Tinsert(t.get(), "frlen", offsetof(lx_raw_frame_info, frlen), H5T_NATIVE_UINT32);
    H5Tinsert(t.get(), "fridx", offsetof(lx_raw_frame_info, fridx), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "frfmt", offsetof(lx_raw_frame_info, frfmt), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "width", offsetof(lx_raw_frame_info, width), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "height", offsetof(lx_raw_frame_info, height), H5T_NATIVE_UINT16);
    H5Tinsert(t.get(), "temp_sensor", offsetof(lx_raw_frame_info, temp_sensor), H5T_NATIVE_INT16);
    H5Tinsert(t.get(), "temp_ib", offsetof(lx_raw_frame_info, temp_ib), H5T_NATIVE_INT16);
    H5Tinsert(t.get(), "spare", offsetof(lx_raw_frame_info, spare), H5T_NATIVE_UINT32);
    return t;
}

Hid packed(const Hid &t) {
    Hid p = type(H5Tcopy(t.get()));
    H5Tpack(p.get());
    return p;
}

bool set_string(hid_t obj, const char *name, const std::string &value) {
    Hid t = string_type();
    Hid s = space(H5Screate(H5S_SCALAR));
    Hid a = attribute(H5Acreate2(obj, name, t.get(), s.get(), H5P_DEFAULT, H5P_DEFAULT));
    const char *text = value.c_str();
    return a.ok() && H5Awrite(a.get(), t.get(), &text) >= 0;
}

bool set_scalar(hid_t obj, const char *name, hid_t mem_type, const void *value) {
    Hid s = space(H5Screate(H5S_SCALAR));
    Hid a = attribute(H5Acreate2(obj, name, mem_type, s.get(), H5P_DEFAULT, H5P_DEFAULT));
    return a.ok() && H5Awrite(a.get(), mem_type, value) >= 0;
}

bool set_u32(hid_t obj, const char *name, uint32_t v) {
    return set_scalar(obj, name, H5T_NATIVE_UINT32, &v);
}

bool get_string(hid_t obj, const char *name, std::string *out) {
    if (H5Aexists(obj, name) <= 0) return false;
    Hid a = attribute(H5Aopen(obj, name, H5P_DEFAULT));
    Hid t = string_type();
    char *text = nullptr;
    if (!a.ok() || H5Aread(a.get(), t.get(), &text) < 0) return false;
    *out = text ? text : "";
    H5free_memory(text);
    return true;
}

template <typename T>
bool get_scalar(hid_t obj, const char *name, hid_t mem_type, T *out) {
    if (H5Aexists(obj, name) <= 0) return false;
    Hid a = attribute(H5Aopen(obj, name, H5P_DEFAULT));
    Hid s = space(H5Aget_space(a.get()));
    if (!a.ok() || H5Sget_simple_extent_npoints(s.get()) != 1) return false;
    return H5Aread(a.get(), mem_type, out) >= 0;
}

// A one-dimensional byte dataset holding exactly the bytes given (an empty one for none).
bool write_bytes(hid_t parent, const char *name, const std::vector<uint8_t> &bytes) {
    const hsize_t dims[1] = {bytes.size()};
    Hid s = space(H5Screate_simple(1, dims, nullptr));
    Hid d = dataset(
        H5Dcreate2(parent, name, H5T_NATIVE_UINT8, s.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    if (!d.ok()) return false;
    return bytes.empty() ||
           H5Dwrite(d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, bytes.data()) >= 0;
}

// An extendible dataset of rows: dims (0, row...) growing along the first axis.
Hid create_rows(hid_t parent, const char *name, hid_t file_type, const std::vector<hsize_t> &row,
                hsize_t chunk_rows, int compression) {
    std::vector<hsize_t> dims{0}, max{H5S_UNLIMITED}, chunk{chunk_rows};
    for (hsize_t r : row) {
        dims.push_back(r);
        max.push_back(r);
        chunk.push_back(r);
    }
    const int rank = static_cast<int>(dims.size());
    Hid s = space(H5Screate_simple(rank, dims.data(), max.data()));
    Hid p = plist(H5Pcreate(H5P_DATASET_CREATE));
    H5Pset_chunk(p.get(), rank, chunk.data());
    if (compression > 0) H5Pset_deflate(p.get(), static_cast<unsigned>(compression));
    // No chunk cache: every row reaches the file in its own write, so that a write that fails
    // (a full disk) fails there, and not halfway through a later flush of the metadata.
    Hid access = plist(H5Pcreate(H5P_DATASET_ACCESS));
    H5Pset_chunk_cache(access.get(), 0, 0, H5D_CHUNK_CACHE_W0_DEFAULT);
    return dataset(
        H5Dcreate2(parent, name, file_type, s.get(), H5P_DEFAULT, p.get(), access.get()));
}

// Why the last append_row failed (the operating system's words), kept past the calls that
// clear HDF5's error stack. Writers are used from one thread.
std::string g_write_cause;

// Writes one row at index `at`, growing the dataset to at + 1 rows.
bool append_row(hid_t d, hsize_t at, hid_t mem_type, const std::vector<hsize_t> &row,
                const void *data) {
    std::vector<hsize_t> dims{at + 1}, start{at}, count{1};
    for (hsize_t r : row) {
        dims.push_back(r);
        start.push_back(0);
        count.push_back(r);
    }
    if (H5Dset_extent(d, dims.data()) < 0) {
        g_write_cause = hdf5_cause();
        return false;
    }
    Hid fs = space(H5Dget_space(d));
    H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
    Hid ms = space(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr));
    if (H5Dwrite(d, mem_type, ms.get(), fs.get(), H5P_DEFAULT, data) < 0) {
        // Taken now: the next HDF5 call clears the error stack.
        g_write_cause = hdf5_cause();
        return false;
    }
    return true;
}

std::string utc_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string join(const std::vector<std::string> &words) {
    std::string out;
    for (const std::string &w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> split(const std::string &text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find(' ', pos);
        const size_t stop = end == std::string::npos ? text.size() : end;
        if (stop > pos) out.push_back(text.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return out;
}

constexpr hsize_t kMetaChunkRows = 256;

}  // namespace

int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool find_param(const CameraRecord &camera, uint8_t id, std::vector<uint8_t> *value) {
    for (const ParamRecord &r : camera.parameters) {
        if (r[0] != id) continue;
        const size_t n = std::min<size_t>(r[1], kParamRecordSize - 2);
        value->assign(r.begin() + 2, r.begin() + 2 + static_cast<std::ptrdiff_t>(n));
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Writer

// Every appended frame is followed by a flush of the file's metadata, so that the file on disk
// is a complete recording of the frames appended so far (also after SIGKILL; the data reaches
// the device when the system writes it back, and at close). A flush that could fail halfway would
// leave metadata that nothing can read, so the writer stops before one when the file system is
// nearly full, and after any failed write it lets nothing more reach the file: the file stays as
// the last flush left it.
constexpr uint64_t kFlushReserve = 4u << 20;  // room kept for the metadata of one flush

struct Writer::Impl {
    std::string path;
    Hid file;
    int fd = -1;  // the file driver's descriptor
    Hid frames_group;
    Hid raw, info, raw_info, mono, wall;
    Hid info_mem, raw_info_mem;
    int compression = 0;
    uint32_t frame_size = 0;
    uint64_t count = 0;
    uint64_t flushed = 0;  // frames in the file as of its last flush
    bool closed = false;
    bool failed = false;

    // "<what> of 'path': <cause>"
    std::string says(const std::string &what, const std::string &cause) const {
        return what + " of '" + path + "': " + (cause.empty() ? "write failed" : cause);
    }
    // A failed frame's message: what failed, why, and what the file holds.
    std::string frame_failed(uint64_t index, const std::string &cause) const {
        return says("cannot write frame " + std::to_string(index), cause) +
               "; the file holds the " + std::to_string(flushed) + " frames before it";
    }

    // After a failed write: HDF5 would still write its cached metadata at close, partly, over
    // the consistent file of the last flush. Its descriptor is pointed at an anonymous memory
    // file, so that nothing more reaches the file and HDF5's close still succeeds (a close that
    // fails leaves the library with a half-closed file that crashes it at exit).
    void detach() {
        failed = true;
        if (fd < 0) return;
        const int scratch = ::memfd_create("lumox-recording-discard", MFD_CLOEXEC);
        if (scratch >= 0) {
            ::dup2(scratch, fd);
            ::close(scratch);
        }
        fd = -1;
    }

    // Flushes the metadata; false with *error set when it fails or
    // when the file system has no room left for one.
    bool flush(std::string *error) {
        if (fd >= 0 && free_bytes(fd) < kFlushReserve + frame_size) {
            if (error) *error = frame_failed(count - 1, "No space left on device");
            detach();
            return false;
        }
        // The flush records the file's end in the superblock and then extends the file to it;
        // when that extension fails, the file claims more than it holds and nothing opens it.
        // So the file is extended first, and a failure stops before the flush.
        hsize_t end = 0;
        struct stat st {};
        if (fd >= 0 && H5Fget_filesize(file.get(), &end) >= 0 && ::fstat(fd, &st) == 0 &&
            static_cast<hsize_t>(st.st_size) < end &&
            ::ftruncate(fd, static_cast<off_t>(end)) != 0) {
            if (error) *error = frame_failed(count - 1, std::strerror(errno));
            detach();
            return false;
        }
        if (H5Fflush(file.get(), H5F_SCOPE_GLOBAL) < 0) {
            if (error) *error = frame_failed(count - 1, hdf5_cause());
            detach();
            return false;
        }
        flushed = count;
        return true;
    }

    bool create_raw(uint32_t size) {
        frame_size = size;
        raw = create_rows(frames_group.get(), "raw", H5T_NATIVE_UINT8, {size ? size : 1}, 1,
                          compression);
        return raw.ok();
    }
};

Writer::Writer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Writer::~Writer() { close(nullptr); }
uint64_t Writer::frames() const { return impl_->count; }

std::unique_ptr<Writer> Writer::create(const std::string &path, const Header &header,
                                       int compression, std::string *error) {
    quiet_hdf5();
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->compression = compression < 0 ? 0 : (compression > 9 ? 9 : compression);
    impl->file = Hid(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
    if (!impl->file.ok()) {
        const std::string cause = hdf5_cause();
        if (error) *error = "cannot create '" + path + "'" + (cause.empty() ? "" : ": " + cause);
        return nullptr;
    }
    const hid_t root = impl->file.get();
    void *handle = nullptr;
    if (H5Fget_vfd_handle(root, H5P_DEFAULT, &handle) >= 0 && handle)
        impl->fd = *static_cast<int *>(handle);
    bool ok = set_string(root, "format", kFormatName) &&
              set_u32(root, "format_version", kFormatVersion) &&
              set_string(root, "created_utc",
                         header.created_utc.empty() ? utc_now() : header.created_utc) &&
              set_string(root, "library_version", header.library_version);

    const CameraRecord &cam = header.camera;
    Hid camera = group(H5Gcreate2(root, "camera", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    ok = ok && camera.ok() && set_string(camera.get(), "product", cam.product) &&
         set_string(camera.get(), "id2", cam.id2) &&
         set_scalar(camera.get(), "bus", H5T_NATIVE_UINT8, &cam.bus) &&
         set_scalar(camera.get(), "port", H5T_NATIVE_UINT8, &cam.port) &&
         write_bytes(camera.get(), "id5", cam.id5) && write_bytes(camera.get(), "id6", cam.id6);
    if (ok) {
        const hsize_t dims[2] = {cam.parameters.size(), kParamRecordSize};
        Hid s = space(H5Screate_simple(2, dims, nullptr));
        Hid d = dataset(H5Dcreate2(camera.get(), "parameters", H5T_NATIVE_UINT8, s.get(),
                                   H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
        ok = d.ok() &&
             (cam.parameters.empty() || H5Dwrite(d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL,
                                                 H5P_DEFAULT, cam.parameters.data()) >= 0);
    }

    const CalibrationRecord &cal = header.calibration;
    Hid calib = group(H5Gcreate2(root, "calibration", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    const uint8_t fetched = cal.fetched_at_open ? 1 : 0;
    ok = ok && calib.ok() && set_u32(calib.get(), "package_version", cal.package_version) &&
         set_scalar(calib.get(), "fetched_at_open", H5T_NATIVE_UINT8, &fetched) &&
         write_bytes(calib.get(), "package", cal.package);
    Hid files = group(H5Gcreate2(calib.get(), "files", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    ok = ok && files.ok();
    for (const CalibrationFile &f : cal.files) {
        ok = ok && !f.name.empty() && f.name.find('/') == std::string::npos &&
             write_bytes(files.get(), f.name.c_str(), f.bytes);
    }
    if (ok && cal.has_lens) {
        Hid lens = group(H5Gcreate2(calib.get(), "lens", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
        const hsize_t five[1] = {5};
        Hid s5 = space(H5Screate_simple(1, five, nullptr));
        Hid a = attribute(H5Acreate2(lens.get(), "dcoeff", H5T_NATIVE_DOUBLE, s5.get(), H5P_DEFAULT,
                                     H5P_DEFAULT));
        ok = lens.ok() && set_scalar(lens.get(), "cx", H5T_NATIVE_DOUBLE, &cal.lens.cx) &&
             set_scalar(lens.get(), "cy", H5T_NATIVE_DOUBLE, &cal.lens.cy) &&
             set_scalar(lens.get(), "fx", H5T_NATIVE_DOUBLE, &cal.lens.fx) &&
             set_scalar(lens.get(), "fy", H5T_NATIVE_DOUBLE, &cal.lens.fy) &&
             set_scalar(lens.get(), "img_w", H5T_NATIVE_INT32, &cal.lens.img_w) &&
             set_scalar(lens.get(), "img_h", H5T_NATIVE_INT32, &cal.lens.img_h) && a.ok() &&
             H5Awrite(a.get(), H5T_NATIVE_DOUBLE, cal.lens.dcoeff) >= 0;
    }

    const CaptureSettings &cap = header.capture;
    Hid capture = group(H5Gcreate2(root, "capture", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    ok = ok && capture.ok() && set_u32(capture.get(), "frame_rate", cap.frame_rate) &&
         set_u32(capture.get(), "integration_time", cap.integration_time) &&
         set_u32(capture.get(), "modulation_khz", cap.modulation_khz) &&
         set_string(capture.get(), "filters", join(cap.filters));

    impl->frames_group = group(H5Gcreate2(root, "frames", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    impl->info_mem = info_type();
    impl->raw_info_mem = raw_info_type();
    ok = ok && impl->frames_group.ok();
    if (ok) {
        const hid_t fg = impl->frames_group.get();
        impl->info = create_rows(fg, "info", packed(impl->info_mem).get(), {}, kMetaChunkRows, 0);
        impl->raw_info =
            create_rows(fg, "raw_info", packed(impl->raw_info_mem).get(), {}, kMetaChunkRows, 0);
        impl->mono = create_rows(fg, "host_monotonic_ns", H5T_STD_I64LE, {}, kMetaChunkRows, 0);
        impl->wall = create_rows(fg, "host_wall_ns", H5T_STD_I64LE, {}, kMetaChunkRows, 0);
        ok = impl->info.ok() && impl->raw_info.ok() && impl->mono.ok() && impl->wall.ok();
    }
    const bool room = impl->fd < 0 || free_bytes(impl->fd) >= kFlushReserve;
    if (!ok || !room || H5Fflush(root, H5F_SCOPE_GLOBAL) < 0) {
        // No file is better than one that nothing can open.
        const std::string cause = room ? hdf5_cause() : "No space left on device";
        impl->detach();
        impl.reset();
        std::remove(path.c_str());
        if (error)
            *error = "cannot write the header of '" + path +
                     "': " + (cause.empty() ? "write failed" : cause) + " (no file made)";
        return nullptr;
    }
    return std::unique_ptr<Writer>(new Writer(std::move(impl)));
}

bool Writer::append(const FrameMeta &meta, const uint8_t *bytes, size_t size, std::string *error) {
    Impl &w = *impl_;
    if (w.closed || w.failed) {
        if (error)
            *error = "the recording '" + w.path + "' is " +
                     (w.failed ? "stopped after a failed write" : "closed");
        return false;
    }
    if (size == 0 || size > 0xFFFFFFFFu) {
        if (error) *error = "a frame of " + std::to_string(size) + " bytes cannot be recorded";
        return false;
    }
    if (!w.raw.ok() && !w.create_raw(static_cast<uint32_t>(size))) {
        if (error) *error = w.says("cannot create the frame dataset", hdf5_cause());
        w.detach();
        return false;
    }
    if (size != w.frame_size) {
        if (error)
            *error = "frame of " + std::to_string(size) + " bytes in a recording of " +
                     std::to_string(w.frame_size) + "-byte frames";
        return false;
    }
    const hsize_t at = w.count;
    g_write_cause.clear();
    const bool ok = append_row(w.raw.get(), at, H5T_NATIVE_UINT8, {size}, bytes) &&
                    append_row(w.info.get(), at, w.info_mem.get(), {}, &meta.info) &&
                    append_row(w.raw_info.get(), at, w.raw_info_mem.get(), {}, &meta.raw) &&
                    append_row(w.mono.get(), at, H5T_NATIVE_INT64, {}, &meta.host_monotonic_ns) &&
                    append_row(w.wall.get(), at, H5T_NATIVE_INT64, {}, &meta.host_wall_ns);
    if (!ok) {
        if (error) *error = w.frame_failed(at, g_write_cause);
        w.detach();
        return false;
    }
    ++w.count;
    return w.flush(error);
}

bool Writer::close(std::string *error) {
    Impl &w = *impl_;
    if (w.closed) return true;
    w.closed = true;
    bool ok = true;
    // A recording without frames still has its frame dataset, of zero rows.
    if (!w.failed && !w.raw.ok()) ok = w.create_raw(0);
    w.raw.reset();
    w.info.reset();
    w.raw_info.reset();
    w.mono.reset();
    w.wall.reset();
    w.frames_group.reset();
    if (w.failed) {
        // Already reported; the file holds the frames of its last flush.
        w.file.close();
        return true;
    }
    ok = ok && H5Fflush(w.file.get(), H5F_SCOPE_GLOBAL) >= 0;
    if (!ok) {
        if (error)
            *error = w.says("cannot complete the recording", hdf5_cause()) + "; it holds the " +
                     std::to_string(w.flushed) + " frames of its last flush";
        w.detach();
    }
    if (w.fd >= 0 && ok) ::fdatasync(w.fd);
    ok = w.file.close() && ok;
    if (!ok && error && error->empty())
        *error = w.says("cannot complete the recording", hdf5_cause());
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Reader
//
// A recording is untrusted input. Two defences:
// - Before anything is read, every link, dataset and size is checked against what the format
//   allows and what the file can hold: only hard links; only data stored in the file itself
//   (contiguous, chunked or compact; no external files, no virtual datasets); the rank, element
//   type and extent the format gives each dataset; and no more bytes than the file (or, for
//   compressed data, what deflate can expand the file's bytes to) can produce.
// - libhdf5 itself does not survive every damaged file (it trusts the offsets and sizes in its
//   own metadata). So the file is first opened, checked and read whole in a child process
//   under a time and memory bound; only when that child completed is the file opened in this
//   process, which then runs the same reads on the same bytes. A crash, hang or runaway
//   allocation inside libhdf5 ends the child, and the open fails with a message.

namespace {

constexpr uint64_t kMaxFrameBytes = 64u << 20;  // far above any frame a camera streams
constexpr uint64_t kMaxBlobBytes = 64u << 20;   // calibration package or one calibration file
constexpr uint64_t kMaxInflation = 1032;        // deflate's largest expansion
constexpr size_t kMaxIdBytes = 64;              // parameter 5 and 6 values
constexpr hsize_t kMaxParameters = 256;
constexpr hsize_t kMaxCalibrationFiles = 64;

// Where a recording comes from: a file, or a file image in memory.
struct Source {
    std::string name;
    const void *image = nullptr;
    size_t image_size = 0;
};

std::string dataset_name(hid_t d) {
    char name[256] = {};
    if (H5Iget_name(d, name, sizeof name) <= 0) return "?";
    return name;
}

// Opens parent/name when it is a hard link (an external or soft link is refused: it would
// take the reader outside this file).
bool hard_link(hid_t parent, const char *name, std::string *why) {
    if (H5Lexists(parent, name, H5P_DEFAULT) <= 0) return false;
    H5L_info_t li{};
    if (H5Lget_info(parent, name, &li, H5P_DEFAULT) < 0) {
        *why = std::string("link '") + name + "' is unreadable";
        return false;
    }
    if (li.type != H5L_TYPE_HARD) {
        *why = std::string("'") + name +
               "' is a link to elsewhere (only objects in the file are read)";
        return false;
    }
    return true;
}

Hid open_group(hid_t parent, const char *name, std::string *why) {
    if (!hard_link(parent, name, why)) return Hid();
    H5O_info_t oi{};
    if (H5Oget_info_by_name2(parent, name, &oi, H5O_INFO_BASIC, H5P_DEFAULT) < 0 ||
        oi.type != H5O_TYPE_GROUP) {
        *why = std::string("'") + name + "' is not a group";
        return Hid();
    }
    return group(H5Gopen2(parent, name, H5P_DEFAULT));
}

// The shape a dataset must have: rank, element class and size, and bounds on its extent.
struct Shape {
    int rank = 1;
    H5T_class_t type_class = H5T_INTEGER;
    size_t type_size = 1;
    hsize_t max_rows = 0;      // first dimension
    hsize_t row_elements = 0;  // the second dimension must be this (0: any up to max_row)
    hsize_t max_row = 0;
};

// A dataset opened after its checks, with its extent.
struct Checked {
    Hid d;
    hsize_t dims[2] = {0, 0};
};

// Opens parent/name and checks it against shape and against the file's size; false with *why
// naming the dataset when it does not hold.
bool open_dataset(hid_t parent, const char *name, const Shape &shape, uint64_t file_size,
                  Checked *out, std::string *why) {
    std::string link_why;
    if (!hard_link(parent, name, &link_why)) {
        *why = link_why.empty() ? std::string("no dataset '") + name + "'" : link_why;
        return false;
    }
    H5O_info_t oi{};
    if (H5Oget_info_by_name2(parent, name, &oi, H5O_INFO_BASIC, H5P_DEFAULT) < 0 ||
        oi.type != H5O_TYPE_DATASET) {
        *why = std::string("'") + name + "' is not a dataset";
        return false;
    }
    Hid d = dataset(H5Dopen2(parent, name, H5P_DEFAULT));
    if (!d.ok()) {
        *why = std::string("dataset '") + name + "' cannot be opened";
        return false;
    }
    const std::string full = dataset_name(d.get());
    auto refuse = [&](const std::string &what) {
        *why = "dataset " + full + ": " + what;
        return false;
    };
    Hid dcpl = plist(H5Dget_create_plist(d.get()));
    if (!dcpl.ok()) return refuse("unreadable storage properties");
    const H5D_layout_t layout = H5Pget_layout(dcpl.get());
    if (layout != H5D_CONTIGUOUS && layout != H5D_CHUNKED && layout != H5D_COMPACT)
        return refuse("its data is not stored in the file (virtual dataset)");
    if (H5Pget_external_count(dcpl.get()) != 0)
        return refuse("its data is stored in external files");
    const int filters = H5Pget_nfilters(dcpl.get());
    if (filters < 0) return refuse("unreadable filters");
    for (int i = 0; i < filters; ++i) {
        unsigned flags = 0;
        size_t n = 0;
        const H5Z_filter_t f = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &n,
                                              nullptr, 0, nullptr, nullptr);
        if (f != H5Z_FILTER_DEFLATE && f != H5Z_FILTER_SHUFFLE && f != H5Z_FILTER_FLETCHER32)
            return refuse("filter " + std::to_string(f) + " is not one a recording uses");
    }

    Hid t = type(H5Dget_type(d.get()));
    if (!t.ok() || H5Tget_class(t.get()) != shape.type_class ||
        H5Tget_size(t.get()) != shape.type_size)
        return refuse("element type is not what the format gives it");
    Hid sp = space(H5Dget_space(d.get()));
    if (!sp.ok() || H5Sget_simple_extent_type(sp.get()) != H5S_SIMPLE ||
        H5Sget_simple_extent_ndims(sp.get()) != shape.rank)
        return refuse("rank is not " + std::to_string(shape.rank));
    hsize_t dims[2] = {0, 0};
    if (H5Sget_simple_extent_dims(sp.get(), dims, nullptr) != shape.rank)
        return refuse("unreadable extent");
    if (dims[0] > shape.max_rows)
        return refuse("extent " + std::to_string(dims[0]) + " exceeds " +
                      std::to_string(shape.max_rows));
    uint64_t row_bytes = shape.type_size;
    if (shape.rank == 2) {
        if (shape.row_elements ? dims[1] != shape.row_elements
                               : (dims[1] == 0 || dims[1] > shape.max_row))
            return refuse("row length " + std::to_string(dims[1]) + " is not allowed");
        row_bytes *= dims[1];
    }
    // What reading it all would produce, against what the file can hold.
    const uint64_t budget = filters > 0 ? file_size * kMaxInflation : file_size;
    if (dims[0] > 0 && row_bytes > budget / dims[0])
        return refuse(std::to_string(dims[0]) + " rows of " + std::to_string(row_bytes) +
                      " bytes are more than the file of " + std::to_string(file_size) +
                      " bytes holds");
    out->d = std::move(d);
    out->dims[0] = dims[0];
    out->dims[1] = dims[1];
    return true;
}

Shape bytes_shape(hsize_t max) { return Shape{1, H5T_INTEGER, 1, max, 0, 0}; }

// A one-dimensional byte dataset, checked; missing: false with *why empty.
bool read_blob(hid_t parent, const char *name, hsize_t max, uint64_t file_size,
               std::vector<uint8_t> *out, std::string *why) {
    Checked c;
    std::string link_why;
    if (H5Lexists(parent, name, H5P_DEFAULT) <= 0) return false;
    if (!open_dataset(parent, name, bytes_shape(max), file_size, &c, why)) return false;
    out->assign(static_cast<size_t>(c.dims[0]), 0);
    if (c.dims[0] > 0 &&
        H5Dread(c.d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, out->data()) < 0) {
        *why = "dataset " + dataset_name(c.d.get()) + ": cannot be read";
        return false;
    }
    return true;
}

uint64_t source_size(const Source &src) {
    if (src.image) return src.image_size;
    struct stat st {};
    if (::stat(src.name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<uint64_t>(st.st_size);
}

Hid open_source(const Source &src) {
    if (!src.image) return Hid(H5Fopen(src.name.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    Hid fapl = plist(H5Pcreate(H5P_FILE_ACCESS));
    if (H5Pset_fapl_core(fapl.get(), 1 << 16, 0) < 0 ||
        H5Pset_file_image(fapl.get(), const_cast<void *>(src.image), src.image_size) < 0)
        return Hid();
    return Hid(H5Fopen(src.name.c_str(), H5F_ACC_RDONLY, fapl.get()), H5Fclose);
}

// Runs check in a child process bounded in time and memory; its result, or why the child did
// not complete.
std::string in_child(const std::function<std::string()> &check, std::chrono::milliseconds bound) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return check();  // no isolation to be had: check here
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return check();
    }
    if (pid == 0) {
        ::close(fds[0]);
        // The child ends by the signal or the sanitizer report of whatever fails in it, quietly:
        // the parent tells what happened. Handlers the process installed (a fuzzer's, a crash
        // reporter's) are not the child's business.
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            ::dup2(null_fd, STDOUT_FILENO);
            ::dup2(null_fd, STDERR_FILENO);
        }
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(sig, SIG_DFL);
#if LUMOX_RECORDING_SANITIZED
        __sanitizer_set_death_callback(nullptr);
#endif
#if !LUMOX_RECORDING_SANITIZED
        const rlim_t memory = rlim_t{4} << 30;
        const struct rlimit limit { memory, memory };
        ::setrlimit(RLIMIT_AS, &limit);
#endif
        const std::string why = check();
        const size_t n = std::min<size_t>(why.size(), 1024);
        [[maybe_unused]] const ssize_t w = ::write(fds[1], why.data(), n);
        ::_exit(why.empty() ? 0 : 1);
    }
    ::close(fds[1]);
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    bool timed_out = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timed_out = true;
            break;
        }
        struct pollfd p {
            fds[0], POLLIN, 0
        };
        const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 1000)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char buf[512];
        const ssize_t got = ::read(fds[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // the child is done
        said.append(buf, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    if (timed_out) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timed_out)
        return "reading it took longer than " + std::to_string(bound.count() / 1000) +
               " s (damaged)";
    if (WIFSIGNALED(status))
        return "the file is damaged: the HDF5 library failed on it (signal " +
               std::to_string(WTERMSIG(status)) + ")";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    return said.empty() ? "the file is damaged: the HDF5 library failed on it" : said;
}

}  // namespace

struct Reader::Impl {
    Hid file;
    Hid raw;
    Header header;
    std::vector<FrameMeta> frames;
    uint32_t frame_size = 0;
    uint64_t file_size = 0;

    // Opens and checks the recording, reading its header and frame metadata; "" or why not.
    std::string load(const Source &src);
    bool read(uint64_t index, std::vector<uint8_t> *bytes, std::string *error);

  private:
    // Each reads its part of the file into header or frames; "" or why the file is refused.
    std::string load_camera(hid_t root);
    std::string load_calibration(hid_t root);
    std::string load_calibration_files(hid_t calib);
    std::string load_lens(hid_t calib);
    std::string load_capture(hid_t root);
    std::string load_frames(hid_t root);
};

std::string Reader::Impl::load(const Source &src) {
    file_size = source_size(src);
    if (file_size == 0) return "not a recording (empty, missing or not a regular file)";
    if (!src.image && H5Fis_hdf5(src.name.c_str()) <= 0) return "not an HDF5 file (or missing)";
    file = open_source(src);
    if (!file.ok()) return "cannot open";
    const hid_t root = file.get();
    std::string format;
    uint32_t version = 0;
    if (!get_string(root, "format", &format) || format != kFormatName) return "not a recording";
    if (!get_scalar(root, "format_version", H5T_NATIVE_UINT32, &version) ||
        version != kFormatVersion)
        return "recording format version " + std::to_string(version) + " is not known";
    get_string(root, "created_utc", &header.created_utc);
    get_string(root, "library_version", &header.library_version);
    for (auto part :
         {&Impl::load_camera, &Impl::load_calibration, &Impl::load_capture, &Impl::load_frames})
        if (std::string why = (this->*part)(root); !why.empty()) return why;
    return "";
}

std::string Reader::Impl::load_camera(hid_t root) {
    CameraRecord &cam = header.camera;
    std::string why;
    Hid camera = open_group(root, "camera", &why);
    if (!camera.ok()) return why.empty() ? "no camera group" : why;
    get_string(camera.get(), "product", &cam.product);
    get_string(camera.get(), "id2", &cam.id2);
    get_scalar(camera.get(), "bus", H5T_NATIVE_UINT8, &cam.bus);
    get_scalar(camera.get(), "port", H5T_NATIVE_UINT8, &cam.port);
    if (!read_blob(camera.get(), "id5", kMaxIdBytes, file_size, &cam.id5, &why) && !why.empty())
        return why;
    if (!read_blob(camera.get(), "id6", kMaxIdBytes, file_size, &cam.id6, &why) && !why.empty())
        return why;
    Checked c;
    const Shape params{2, H5T_INTEGER, 1, kMaxParameters, kParamRecordSize, 0};
    if (!open_dataset(camera.get(), "parameters", params, file_size, &c, &why)) return why;
    cam.parameters.resize(c.dims[0]);
    if (c.dims[0] > 0 && H5Dread(c.d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                                 cam.parameters.data()) < 0)
        return "cannot read the parameters";
    return "";
}

std::string Reader::Impl::load_calibration(hid_t root) {
    CalibrationRecord &cal = header.calibration;
    std::string why;
    Hid calib = open_group(root, "calibration", &why);
    if (!calib.ok()) return why.empty() ? "no calibration group" : why;
    get_scalar(calib.get(), "package_version", H5T_NATIVE_UINT32, &cal.package_version);
    if (!read_blob(calib.get(), "package", kMaxBlobBytes, file_size, &cal.package, &why) &&
        !why.empty())
        return why;
    uint8_t fetched = 0;
    get_scalar(calib.get(), "fetched_at_open", H5T_NATIVE_UINT8, &fetched);
    cal.fetched_at_open = fetched != 0;
    if (H5Lexists(calib.get(), "files", H5P_DEFAULT) > 0)
        if (why = load_calibration_files(calib.get()); !why.empty()) return why;
    if (H5Lexists(calib.get(), "lens", H5P_DEFAULT) > 0) return load_lens(calib.get());
    return "";
}

std::string Reader::Impl::load_calibration_files(hid_t calib) {
    std::string why;
    Hid files = open_group(calib, "files", &why);
    if (!files.ok()) return why;
    H5G_info_t gi{};
    if (H5Gget_info(files.get(), &gi) < 0) return "calibration files unreadable";
    if (gi.nlinks > kMaxCalibrationFiles)
        return std::to_string(gi.nlinks) + " calibration files are more than a camera has";
    uint64_t total = 0;
    for (hsize_t i = 0; i < gi.nlinks; ++i) {
        char name[256] = {};
        const ssize_t len = H5Lget_name_by_idx(files.get(), ".", H5_INDEX_NAME, H5_ITER_INC, i,
                                               name, sizeof name, H5P_DEFAULT);
        if (len <= 0 || static_cast<size_t>(len) >= sizeof name) continue;
        CalibrationFile f;
        f.name = name;
        // A name is a file name in the calibration directory, never a path.
        if (f.name == "." || f.name == ".." || f.name.find('/') != std::string::npos)
            return "calibration file name '" + f.name + "' is not a file name";
        if (!read_blob(files.get(), name, kMaxBlobBytes, file_size, &f.bytes, &why)) {
            if (!why.empty()) return why;
            continue;
        }
        total += f.bytes.size();
        if (total > kMaxInflation * file_size) return "calibration files larger than the file";
        header.calibration.files.push_back(std::move(f));
    }
    return "";
}

std::string Reader::Impl::load_lens(hid_t calib) {
    std::string why;
    Hid lens = open_group(calib, "lens", &why);
    if (!lens.ok()) return why;
    lx_lens_param &l = header.calibration.lens;
    header.calibration.has_lens = get_scalar(lens.get(), "cx", H5T_NATIVE_DOUBLE, &l.cx) &&
                                  get_scalar(lens.get(), "cy", H5T_NATIVE_DOUBLE, &l.cy) &&
                                  get_scalar(lens.get(), "fx", H5T_NATIVE_DOUBLE, &l.fx) &&
                                  get_scalar(lens.get(), "fy", H5T_NATIVE_DOUBLE, &l.fy) &&
                                  get_scalar(lens.get(), "img_w", H5T_NATIVE_INT32, &l.img_w) &&
                                  get_scalar(lens.get(), "img_h", H5T_NATIVE_INT32, &l.img_h);
    if (H5Aexists(lens.get(), "dcoeff") > 0) {
        Hid a = attribute(H5Aopen(lens.get(), "dcoeff", H5P_DEFAULT));
        Hid sp = space(H5Aget_space(a.get()));
        if (a.ok() && H5Sget_simple_extent_npoints(sp.get()) == 5)
            H5Aread(a.get(), H5T_NATIVE_DOUBLE, l.dcoeff);
    }
    return "";
}

std::string Reader::Impl::load_capture(hid_t root) {
    if (H5Lexists(root, "capture", H5P_DEFAULT) <= 0) return "";
    CaptureSettings &cap = header.capture;
    std::string why;
    Hid capture = open_group(root, "capture", &why);
    if (!capture.ok()) return why;
    get_scalar(capture.get(), "frame_rate", H5T_NATIVE_UINT32, &cap.frame_rate);
    get_scalar(capture.get(), "integration_time", H5T_NATIVE_UINT32, &cap.integration_time);
    get_scalar(capture.get(), "modulation_khz", H5T_NATIVE_UINT32, &cap.modulation_khz);
    std::string filters;
    get_string(capture.get(), "filters", &filters);
    cap.filters = split(filters);
    return "";
}

std::string Reader::Impl::load_frames(hid_t root) {
    std::string why;
    Hid fg = open_group(root, "frames", &why);
    if (!fg.ok()) return why.empty() ? "no frames group" : why;
    // Rows are bounded by the file: every frame takes at least one byte of it.
    const hsize_t max_rows = file_size;
    Checked raw_c, info_c, raw_info_c, mono_c, wall_c;
    const Shape raw_shape{2, H5T_INTEGER, 1, max_rows, 0, kMaxFrameBytes};
    const Shape info_shape{1, H5T_COMPOUND, H5Tget_size(packed(info_type()).get()), max_rows, 0, 0};
    const Shape raw_info_shape{
        1, H5T_COMPOUND, H5Tget_size(packed(raw_info_type()).get()), max_rows, 0, 0};
    const Shape ns_shape{1, H5T_INTEGER, 8, max_rows, 0, 0};
    if (!open_dataset(fg.get(), "raw", raw_shape, file_size, &raw_c, &why) ||
        !open_dataset(fg.get(), "info", info_shape, file_size, &info_c, &why) ||
        !open_dataset(fg.get(), "raw_info", raw_info_shape, file_size, &raw_info_c, &why) ||
        !open_dataset(fg.get(), "host_monotonic_ns", ns_shape, file_size, &mono_c, &why) ||
        !open_dataset(fg.get(), "host_wall_ns", ns_shape, file_size, &wall_c, &why))
        return why;
    raw = std::move(raw_c.d);
    frame_size = static_cast<uint32_t>(raw_c.dims[1]);
    // A recording cut off between two datasets' writes holds as many frames as all of them.
    hsize_t n = raw_c.dims[0];
    for (const Checked *c : {&info_c, &raw_info_c, &mono_c, &wall_c}) n = std::min(n, c->dims[0]);
    frames.resize(static_cast<size_t>(n));
    if (n == 0) return "";
    std::vector<lumox_frame_info> infos(static_cast<size_t>(n));
    std::vector<lx_raw_frame_info> raws(static_cast<size_t>(n));
    std::vector<int64_t> monos(static_cast<size_t>(n)), walls(static_cast<size_t>(n));
    auto read_first = [&](hid_t d, hid_t mem_type, void *out) {
        const hsize_t start[1] = {0}, count[1] = {n};
        Hid fs = space(H5Dget_space(d));
        H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
        Hid ms = space(H5Screate_simple(1, count, nullptr));
        return H5Dread(d, mem_type, ms.get(), fs.get(), H5P_DEFAULT, out) >= 0;
    };
    Hid info_mem = info_type();
    Hid raw_mem = raw_info_type();
    if (!read_first(info_c.d.get(), info_mem.get(), infos.data()) ||
        !read_first(raw_info_c.d.get(), raw_mem.get(), raws.data()) ||
        !read_first(mono_c.d.get(), H5T_NATIVE_INT64, monos.data()) ||
        !read_first(wall_c.d.get(), H5T_NATIVE_INT64, walls.data()))
        return "cannot read the frame metadata";
    for (size_t i = 0; i < frames.size(); ++i)
        frames[i] = FrameMeta{infos[i], raws[i], monos[i], walls[i]};
    return "";
}

bool Reader::Impl::read(uint64_t index, std::vector<uint8_t> *bytes, std::string *error) {
    if (index >= frames.size()) {
        if (error) *error = "no frame " + std::to_string(index);
        return false;
    }
    bytes->resize(frame_size);
    const hsize_t start[2] = {index, 0}, count[2] = {1, frame_size};
    Hid fs = space(H5Dget_space(raw.get()));
    H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
    Hid ms = space(H5Screate_simple(2, count, nullptr));
    if (H5Dread(raw.get(), H5T_NATIVE_UINT8, ms.get(), fs.get(), H5P_DEFAULT, bytes->data()) < 0) {
        if (error) *error = "cannot read frame " + std::to_string(index);
        return false;
    }
    return true;
}

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::~Reader() = default;
const Header &Reader::header() const { return impl_->header; }
const std::vector<FrameMeta> &Reader::frames() const { return impl_->frames; }
uint32_t Reader::frame_size() const { return impl_->frame_size; }

namespace {

std::atomic<int64_t> g_check_bound_ms{20000};

std::unique_ptr<Reader::Impl> load_isolated(const Source &src, std::string *error) {
    quiet_hdf5();
    auto fail = [&](const std::string &why) -> std::unique_ptr<Reader::Impl> {
        if (error) *error = "'" + src.name + "': " + why;
        return nullptr;
    };
    // The whole file is read once in the child: the header, the metadata and every frame.
    const uint64_t size = source_size(src);
    const auto bound = std::chrono::milliseconds(g_check_bound_ms.load() + size / (50u << 10));
    const std::string child = in_child(
        [&] {
            Reader::Impl probe;
            std::string why = probe.load(src);
            std::vector<uint8_t> bytes;
            for (uint64_t i = 0; why.empty() && i < probe.frames.size(); ++i)
                if (!probe.read(i, &bytes, &why)) break;
            return why;
        },
        bound);
    if (!child.empty()) return fail(child);
    auto impl = std::make_unique<Reader::Impl>();
    if (std::string why = impl->load(src); !why.empty()) return fail(why);
    return impl;
}

}  // namespace

void set_check_time_bound(std::chrono::milliseconds bound) {
    g_check_bound_ms.store(bound.count());
}

std::unique_ptr<Reader> Reader::open(const std::string &path, std::string *error) {
    auto impl = load_isolated(Source{path, nullptr, 0}, error);
    return impl ? std::unique_ptr<Reader>(new Reader(std::move(impl))) : nullptr;
}

std::unique_ptr<Reader> Reader::open_image(const void *data, size_t size, std::string *error) {
    if (!data || size == 0) {
        if (error) *error = "'(memory)': not a recording (empty)";
        return nullptr;
    }
    auto impl = load_isolated(Source{"(memory)", data, size}, error);
    return impl ? std::unique_ptr<Reader>(new Reader(std::move(impl))) : nullptr;
}

bool Reader::read(uint64_t index, std::vector<uint8_t> *bytes, std::string *error) {
    return impl_->read(index, bytes, error);
}

}  // namespace lumox::recording
