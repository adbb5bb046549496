#include "recording/recording.h"

#include <hdf5.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>

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
    void reset() {
        if (id_ >= 0 && closer_) closer_(id_);
        id_ = H5I_INVALID_HID;
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
void quiet_hdf5() { H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); }

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

bool read_bytes(hid_t parent, const char *name, std::vector<uint8_t> *out) {
    if (H5Lexists(parent, name, H5P_DEFAULT) <= 0) return false;
    Hid d = dataset(H5Dopen2(parent, name, H5P_DEFAULT));
    Hid s = space(H5Dget_space(d.get()));
    if (!d.ok() || H5Sget_simple_extent_ndims(s.get()) != 1) return false;
    const hssize_t n = H5Sget_simple_extent_npoints(s.get());
    if (n < 0) return false;
    out->assign(static_cast<size_t>(n), 0);
    return n == 0 ||
           H5Dread(d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, out->data()) >= 0;
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
    return dataset(H5Dcreate2(parent, name, file_type, s.get(), H5P_DEFAULT, p.get(), H5P_DEFAULT));
}

// Writes one row at index `at`, growing the dataset to at + 1 rows.
bool append_row(hid_t d, hsize_t at, hid_t mem_type, const std::vector<hsize_t> &row,
                const void *data) {
    std::vector<hsize_t> dims{at + 1}, start{at}, count{1};
    for (hsize_t r : row) {
        dims.push_back(r);
        start.push_back(0);
        count.push_back(r);
    }
    if (H5Dset_extent(d, dims.data()) < 0) return false;
    Hid fs = space(H5Dget_space(d));
    H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(), nullptr);
    Hid ms = space(H5Screate_simple(static_cast<int>(count.size()), count.data(), nullptr));
    return H5Dwrite(d, mem_type, ms.get(), fs.get(), H5P_DEFAULT, data) >= 0;
}

// Rows of a one-dimensional dataset (its length), or -1.
hssize_t row_count(hid_t d) {
    Hid s = space(H5Dget_space(d));
    hsize_t dims[2] = {0, 0};
    const int rank = H5Sget_simple_extent_ndims(s.get());
    if (rank < 1 || rank > 2) return -1;
    H5Sget_simple_extent_dims(s.get(), dims, nullptr);
    return static_cast<hssize_t>(dims[0]);
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

struct Writer::Impl {
    Hid file;
    Hid frames_group;
    Hid raw, info, raw_info, mono, wall;
    Hid info_mem, raw_info_mem;
    int compression = 0;
    uint32_t frame_size = 0;
    uint64_t count = 0;
    bool closed = false;

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
    impl->compression = compression < 0 ? 0 : (compression > 9 ? 9 : compression);
    impl->file = Hid(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), H5Fclose);
    if (!impl->file.ok()) {
        if (error) *error = "cannot create '" + path + "'";
        return nullptr;
    }
    const hid_t root = impl->file.get();
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
    if (!ok || H5Fflush(root, H5F_SCOPE_GLOBAL) < 0) {
        if (error) *error = "cannot write the header of '" + path + "'";
        return nullptr;
    }
    return std::unique_ptr<Writer>(new Writer(std::move(impl)));
}

bool Writer::append(const FrameMeta &meta, const uint8_t *bytes, size_t size, std::string *error) {
    Impl &w = *impl_;
    if (w.closed) {
        if (error) *error = "the recording is closed";
        return false;
    }
    if (size == 0 || size > 0xFFFFFFFFu) {
        if (error) *error = "a frame of " + std::to_string(size) + " bytes cannot be recorded";
        return false;
    }
    if (!w.raw.ok() && !w.create_raw(static_cast<uint32_t>(size))) {
        if (error) *error = "cannot create the frame dataset";
        return false;
    }
    if (size != w.frame_size) {
        if (error)
            *error = "frame of " + std::to_string(size) + " bytes in a recording of " +
                     std::to_string(w.frame_size) + "-byte frames";
        return false;
    }
    const hsize_t at = w.count;
    const bool ok = append_row(w.raw.get(), at, H5T_NATIVE_UINT8, {size}, bytes) &&
                    append_row(w.info.get(), at, w.info_mem.get(), {}, &meta.info) &&
                    append_row(w.raw_info.get(), at, w.raw_info_mem.get(), {}, &meta.raw) &&
                    append_row(w.mono.get(), at, H5T_NATIVE_INT64, {}, &meta.host_monotonic_ns) &&
                    append_row(w.wall.get(), at, H5T_NATIVE_INT64, {}, &meta.host_wall_ns);
    if (!ok) {
        if (error) *error = "cannot write frame " + std::to_string(at);
        return false;
    }
    ++w.count;
    return true;
}

bool Writer::close(std::string *error) {
    Impl &w = *impl_;
    if (w.closed) return true;
    w.closed = true;
    bool ok = true;
    // A recording without frames still has its frame dataset, of zero rows.
    if (!w.raw.ok()) ok = w.create_raw(0);
    w.raw.reset();
    w.info.reset();
    w.raw_info.reset();
    w.mono.reset();
    w.wall.reset();
    w.frames_group.reset();
    ok = H5Fflush(w.file.get(), H5F_SCOPE_GLOBAL) >= 0 && ok;
    ok = H5Fclose(w.file.get()) >= 0 && ok;
    w.file = Hid();
    if (!ok && error) *error = "cannot complete the recording file";
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Reader

struct Reader::Impl {
    Hid file;
    Hid raw;
    Header header;
    std::vector<FrameMeta> frames;
    uint32_t frame_size = 0;
};

Reader::Reader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Reader::~Reader() = default;
const Header &Reader::header() const { return impl_->header; }
const std::vector<FrameMeta> &Reader::frames() const { return impl_->frames; }
uint32_t Reader::frame_size() const { return impl_->frame_size; }

std::unique_ptr<Reader> Reader::open(const std::string &path, std::string *error) {
    quiet_hdf5();
    auto fail = [&](const std::string &why) {
        if (error) *error = "'" + path + "': " + why;
        return nullptr;
    };
    auto impl = std::make_unique<Impl>();
    if (H5Fis_hdf5(path.c_str()) <= 0) return fail("not an HDF5 file (or missing)");
    impl->file = Hid(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    if (!impl->file.ok()) return fail("cannot open");
    const hid_t root = impl->file.get();
    std::string format;
    uint32_t version = 0;
    if (!get_string(root, "format", &format) || format != kFormatName)
        return fail("not a recording");
    if (!get_scalar(root, "format_version", H5T_NATIVE_UINT32, &version) ||
        version != kFormatVersion)
        return fail("recording format version " + std::to_string(version) + " is not known");
    Header &h = impl->header;
    get_string(root, "created_utc", &h.created_utc);
    get_string(root, "library_version", &h.library_version);

    Hid camera = group(H5Gopen2(root, "camera", H5P_DEFAULT));
    if (!camera.ok()) return fail("no camera group");
    get_string(camera.get(), "product", &h.camera.product);
    get_string(camera.get(), "id2", &h.camera.id2);
    get_scalar(camera.get(), "bus", H5T_NATIVE_UINT8, &h.camera.bus);
    get_scalar(camera.get(), "port", H5T_NATIVE_UINT8, &h.camera.port);
    read_bytes(camera.get(), "id5", &h.camera.id5);
    read_bytes(camera.get(), "id6", &h.camera.id6);
    {
        Hid d = dataset(H5Dopen2(camera.get(), "parameters", H5P_DEFAULT));
        Hid s = space(H5Dget_space(d.get()));
        hsize_t dims[2] = {0, 0};
        if (!d.ok() || H5Sget_simple_extent_ndims(s.get()) != 2) return fail("no parameters");
        H5Sget_simple_extent_dims(s.get(), dims, nullptr);
        if (dims[1] != kParamRecordSize) return fail("parameter records are not 20 bytes");
        h.camera.parameters.resize(dims[0]);
        if (dims[0] > 0 && H5Dread(d.get(), H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                                   h.camera.parameters.data()) < 0)
            return fail("cannot read the parameters");
    }

    Hid calib = group(H5Gopen2(root, "calibration", H5P_DEFAULT));
    if (!calib.ok()) return fail("no calibration group");
    get_scalar(calib.get(), "package_version", H5T_NATIVE_UINT32, &h.calibration.package_version);
    read_bytes(calib.get(), "package", &h.calibration.package);
    uint8_t fetched = 0;
    get_scalar(calib.get(), "fetched_at_open", H5T_NATIVE_UINT8, &fetched);
    h.calibration.fetched_at_open = fetched != 0;
    if (H5Lexists(calib.get(), "files", H5P_DEFAULT) > 0) {
        Hid files = group(H5Gopen2(calib.get(), "files", H5P_DEFAULT));
        H5G_info_t gi{};
        H5Gget_info(files.get(), &gi);
        for (hsize_t i = 0; i < gi.nlinks; ++i) {
            char name[256];
            if (H5Lget_name_by_idx(files.get(), ".", H5_INDEX_NAME, H5_ITER_INC, i, name,
                                   sizeof name, H5P_DEFAULT) < 0)
                continue;
            CalibrationFile f;
            f.name = name;
            if (read_bytes(files.get(), name, &f.bytes)) h.calibration.files.push_back(f);
        }
    }
    if (H5Lexists(calib.get(), "lens", H5P_DEFAULT) > 0) {
        Hid lens = group(H5Gopen2(calib.get(), "lens", H5P_DEFAULT));
        lx_lens_param &l = h.calibration.lens;
        h.calibration.has_lens = get_scalar(lens.get(), "cx", H5T_NATIVE_DOUBLE, &l.cx) &&
                                 get_scalar(lens.get(), "cy", H5T_NATIVE_DOUBLE, &l.cy) &&
                                 get_scalar(lens.get(), "fx", H5T_NATIVE_DOUBLE, &l.fx) &&
                                 get_scalar(lens.get(), "fy", H5T_NATIVE_DOUBLE, &l.fy) &&
                                 get_scalar(lens.get(), "img_w", H5T_NATIVE_INT32, &l.img_w) &&
                                 get_scalar(lens.get(), "img_h", H5T_NATIVE_INT32, &l.img_h);
        Hid a = attribute(H5Aopen(lens.get(), "dcoeff", H5P_DEFAULT));
        Hid s = space(H5Aget_space(a.get()));
        if (a.ok() && H5Sget_simple_extent_npoints(s.get()) == 5)
            H5Aread(a.get(), H5T_NATIVE_DOUBLE, l.dcoeff);
    }

    Hid capture = group(H5Gopen2(root, "capture", H5P_DEFAULT));
    if (capture.ok()) {
        get_scalar(capture.get(), "frame_rate", H5T_NATIVE_UINT32, &h.capture.frame_rate);
        get_scalar(capture.get(), "integration_time", H5T_NATIVE_UINT32,
                   &h.capture.integration_time);
        get_scalar(capture.get(), "modulation_khz", H5T_NATIVE_UINT32, &h.capture.modulation_khz);
        std::string filters;
        get_string(capture.get(), "filters", &filters);
        h.capture.filters = split(filters);
    }

    Hid fg = group(H5Gopen2(root, "frames", H5P_DEFAULT));
    if (!fg.ok()) return fail("no frames group");
    impl->raw = dataset(H5Dopen2(fg.get(), "raw", H5P_DEFAULT));
    Hid info = dataset(H5Dopen2(fg.get(), "info", H5P_DEFAULT));
    Hid raw_info = dataset(H5Dopen2(fg.get(), "raw_info", H5P_DEFAULT));
    Hid mono = dataset(H5Dopen2(fg.get(), "host_monotonic_ns", H5P_DEFAULT));
    Hid wall = dataset(H5Dopen2(fg.get(), "host_wall_ns", H5P_DEFAULT));
    if (!impl->raw.ok() || !info.ok() || !raw_info.ok() || !mono.ok() || !wall.ok())
        return fail("frame datasets missing");
    {
        Hid s = space(H5Dget_space(impl->raw.get()));
        hsize_t dims[2] = {0, 0};
        if (H5Sget_simple_extent_ndims(s.get()) != 2) return fail("frames are not rows");
        H5Sget_simple_extent_dims(s.get(), dims, nullptr);
        if (dims[1] > 0xFFFFFFFFu) return fail("frames too large");
        impl->frame_size = static_cast<uint32_t>(dims[1]);
    }
    // A recording cut off between two datasets' writes holds as many frames as all of them.
    hssize_t n = row_count(impl->raw.get());
    for (const Hid *d : {&info, &raw_info, &mono, &wall}) {
        const hssize_t m = row_count(d->get());
        if (m < 0) return fail("frame metadata unreadable");
        if (m < n) n = m;
    }
    if (n < 0) return fail("frame dataset unreadable");
    impl->frames.resize(static_cast<size_t>(n));
    if (n > 0) {
        std::vector<lumox_frame_info> infos(static_cast<size_t>(n));
        std::vector<lx_raw_frame_info> raws(static_cast<size_t>(n));
        std::vector<int64_t> monos(static_cast<size_t>(n)), walls(static_cast<size_t>(n));
        auto read_first = [&](hid_t d, hid_t mem_type, void *out) {
            const hsize_t start[1] = {0}, count[1] = {static_cast<hsize_t>(n)};
            Hid fs = space(H5Dget_space(d));
            H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
            Hid ms = space(H5Screate_simple(1, count, nullptr));
            return H5Dread(d, mem_type, ms.get(), fs.get(), H5P_DEFAULT, out) >= 0;
        };
        Hid info_mem = info_type();
        Hid raw_mem = raw_info_type();
        if (!read_first(info.get(), info_mem.get(), infos.data()) ||
            !read_first(raw_info.get(), raw_mem.get(), raws.data()) ||
            !read_first(mono.get(), H5T_NATIVE_INT64, monos.data()) ||
            !read_first(wall.get(), H5T_NATIVE_INT64, walls.data()))
            return fail("cannot read the frame metadata");
        for (size_t i = 0; i < impl->frames.size(); ++i)
            impl->frames[i] = FrameMeta{infos[i], raws[i], monos[i], walls[i]};
    }
    return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

bool Reader::read(uint64_t index, std::vector<uint8_t> *bytes, std::string *error) {
    if (index >= impl_->frames.size()) {
        if (error) *error = "no frame " + std::to_string(index);
        return false;
    }
    bytes->resize(impl_->frame_size);
    const hsize_t start[2] = {index, 0}, count[2] = {1, impl_->frame_size};
    Hid fs = space(H5Dget_space(impl_->raw.get()));
    H5Sselect_hyperslab(fs.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
    Hid ms = space(H5Screate_simple(2, count, nullptr));
    if (H5Dread(impl_->raw.get(), H5T_NATIVE_UINT8, ms.get(), fs.get(), H5P_DEFAULT,
                bytes->data()) < 0) {
        if (error) *error = "cannot read frame " + std::to_string(index);
        return false;
    }
    return true;
}

}  // namespace lumox::recording
