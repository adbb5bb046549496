// _lumox: the compiled half of the Python package `lumox`, a thin layer over the public C
// interface. It owns the device records, turns results into exceptions that carry the library's
// own text of the failure, fills numpy arrays in place through the C calls, and runs Python
// callbacks on the threads the library calls them on, holding the GIL only while Python code runs.
//
// Threads and locks: every call into the library releases the GIL first. A device's calls take
// its gate shared; close takes it exclusive, so the record never goes away under a running call.
// Locks are only ever taken with the GIL released, so a callback that needs the GIL cannot
// deadlock against a thread that waits for a lock while holding it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include <lumox/lumox.h>

#include "recording/camera_description.h"
#include "recording_binding.h"

namespace py = pybind11;

namespace {

std::atomic<bool> g_started{false};
// lumox.Error, set by the Python layer at import; never released (a static py::object would be
// released after the interpreter has ended).
PyObject *g_error_class = nullptr;

// A failure on its way to Python: raised as lumox.Error(message, code, call).
struct Failure {
    std::string message;
    long long code;
    std::string call;
};

// Raises the failure of a call made on this thread since lumox_clear_last_error, with the
// library's own text of it (its last error, else warning, record on this thread).
[[noreturn]] void fail(const std::string &call, long long code, const std::string &fallback) {
    std::string message = lumox_last_error();
    if (message.empty()) message = fallback;
    throw Failure{message, code, call};
}

[[noreturn]] void misuse(const std::string &call, const std::string &message) {
    throw Failure{message, 0, call};
}

double host_time() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

std::string field(const char *text, size_t size) { return std::string(text, strnlen(text, size)); }

py::tuple info_tuple(const lumox_frame_info &info) {
    return py::make_tuple(info.frame_size, info.frame_format, info.frame_idx, info.width,
                          info.height, info.pixel_bytes);
}

lumox_frame_info info_from(const py::sequence &t) {
    if (py::len(t) != 6) throw py::value_error("frame info needs 6 fields");
    lumox_frame_info info{};
    info.frame_size = t[0].cast<uint32_t>();
    info.frame_format = t[1].cast<uint16_t>();
    info.frame_idx = t[2].cast<uint16_t>();
    info.width = t[3].cast<uint32_t>();
    info.height = t[4].cast<uint32_t>();
    info.pixel_bytes = t[5].cast<uint8_t>();
    return info;
}

// numpy arrays the caller hands in: checked, never converted (a converted copy would not be
// filled in place).
template <class T>
T *writable(py::array &a, const char *what, std::vector<py::ssize_t> shape) {
    if (!py::isinstance<py::array_t<T>>(a) || !(a.flags() & py::array::c_style) || !a.writeable())
        throw py::value_error(std::string(what) + " must be a writable C-contiguous " +
                              py::str(py::dtype::of<T>()).cast<std::string>() + " array");
    if (a.ndim() != static_cast<py::ssize_t>(shape.size()))
        throw py::value_error(std::string(what) + " has the wrong shape");
    for (size_t i = 0; i < shape.size(); ++i)
        if (a.shape(static_cast<py::ssize_t>(i)) != shape[i])
            throw py::value_error(std::string(what) + " has the wrong shape");
    return static_cast<T *>(a.mutable_data());
}

// ---- Devices ---------------------------------------------------------------------------------

constexpr uint32_t kDefaultFrameBytes = 614400;  // 320 x 240 pixels, four 16-bit samples each
constexpr float kFirstReservedMetres = 65300 / 1000.0f;

// Replaces the library's codes for pixels without a distance (65.3, 65.4, 65.5 m and anything
// above) by NaN: eight at a time without branches, in AVX2 where the processor has it.
__attribute__((target_clones("avx2", "default"))) void codes_to_nan(float *d, uint32_t n) {
    typedef float F8 __attribute__((vector_size(32)));
    typedef int32_t I8 __attribute__((vector_size(32)));
    const float nan = std::nanf("");
    const float lim = kFirstReservedMetres;
    const F8 limit = {lim, lim, lim, lim, lim, lim, lim, lim};
    const F8 nans = {nan, nan, nan, nan, nan, nan, nan, nan};
    I8 nan_bits;
    std::memcpy(&nan_bits, &nans, sizeof nan_bits);
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        F8 v;
        std::memcpy(&v, d + i, sizeof v);
        const I8 code = v >= limit;  // all ones where v is a code
        I8 bits;
        std::memcpy(&bits, &v, sizeof bits);
        bits = (code & nan_bits) | (~code & bits);
        std::memcpy(d + i, &bits, sizeof bits);
    }
    for (; i < n; ++i)
        if (d[i] >= kFirstReservedMetres) d[i] = nan;
}

// Arrays handed to Python that come back for reuse once nobody else holds them: a capture loop
// then cycles through a few warm buffers instead of fresh memory for every frame. Only an array
// whose sole reference is the pool's is reused, so no caller ever sees its data change.
template <class T>
class ArrayPool {
  public:
    py::array_t<T> take(std::vector<py::ssize_t> shape) {
        for (py::array_t<T> &a : arrays_) {
            if (a.ref_count() != 1 || a.ndim() != static_cast<py::ssize_t>(shape.size())) continue;
            if (std::equal(shape.begin(), shape.end(), a.shape())) return a;
        }
        py::array_t<T> fresh(shape);
        if (arrays_.size() < kSize) {
            arrays_.push_back(fresh);
        } else {
            arrays_[next_] = fresh;
            next_ = (next_ + 1) % kSize;
        }
        return fresh;
    }

  private:
    static constexpr size_t kSize = 4;
    std::vector<py::array_t<T>> arrays_;
    size_t next_ = 0;
};

class Device;

// The record handed to the library, with its owner beside it: callbacks get the record back and
// find the device from it.
struct Slot {
    lumox_dev_t rec;
    Device *owner;
};
static_assert(std::is_standard_layout_v<Slot>);

Device *owner_of(lumox_dev_t *dev) { return reinterpret_cast<Slot *>(dev)->owner; }

// The devices this process holds open: listing reads their identity from their records instead
// of opening the camera a second time.
std::mutex g_open_mutex;
std::vector<Device *> g_open;

// The device whose callback runs on this thread (callbacks may not close or poll it again).
thread_local Device *t_in_callback = nullptr;

class Device {
  public:
    Device(std::optional<std::pair<int, int>> where, std::optional<std::string> serial) {
        slot_ = std::make_unique<Slot>();
        slot_->owner = this;
        if (!g_started.load()) misuse("lumox_dev_open", "the library is not started");
        lumox_clear_last_error();
        lumox_dev_t *opened = nullptr;
        {
            py::gil_scoped_release nogil;
            // A recording tells whether the open fetched the calibration files.
            files_before_open_ =
                lumox::recording::list_directory(lumox::recording::calibration_directory());
            if (serial) {
                if (!lumox_dev_find_serial(&slot_->rec, serial->c_str())) {
                    py::gil_scoped_acquire gil;
                    misuse("lumox_dev_open_serial", "no camera with serial " + *serial +
                                                        " (one in use elsewhere cannot be asked)");
                }
            } else if (where) {
                // Find the camera in the list, so that the record carries its whole location.
                lumox_dev_t list[32];
                const int32_t n = lumox_dev_list(list, 32);
                for (int32_t i = 0; i < n; ++i)
                    if (list[i].bus == where->first && list[i].port == where->second)
                        slot_->rec = list[i];
                if (slot_->rec.bus != where->first || slot_->rec.port != where->second) {
                    py::gil_scoped_acquire gil;
                    misuse("lumox_dev_open", "no camera at " + std::to_string(where->first) + ":" +
                                                 std::to_string(where->second));
                }
                slot_->rec.location_valid = 1;
            }
            opened = serial ? lumox_dev_open_serial(&slot_->rec, serial->c_str())
                            : lumox_dev_open(&slot_->rec);
        }
        if (!opened) fail("lumox_dev_open", 0, "cannot open the camera");
        // The best correction the camera and its calibration files allow (the library leaves
        // the per-pixel table off when it finds the files of an earlier open).
        lumox_dev_use_best_correction(opened, nullptr);
        open_.store(true);
        std::lock_guard lock(g_open_mutex);
        g_open.push_back(this);
    }
    ~Device() {
        try {
            close();
        } catch (...) {
        }
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bool is_open() const { return open_.load(); }

    void close() {
        if (t_in_callback == this)
            misuse("close", "a camera cannot be closed from its own callback");
        if (!open_.exchange(false)) return;
        stopped_.store(true);
        py::gil_scoped_release nogil;
        // Stopping first wakes a polling call on another thread, so that the gate opens soon.
        lumox_cap_stop(&slot_->rec);
        std::unique_lock lock(gate_);
        lumox_dev_close(&slot_->rec);
        std::lock_guard registry(g_open_mutex);
        g_open.erase(std::remove(g_open.begin(), g_open.end(), this), g_open.end());
    }

    // Location and identity of an open device, for the device list.
    bool identity(const lumox_dev_t &listed, std::string &product, std::string &serial) const {
        const lumox_dev_t &r = slot_->rec;
        if (r.bus != listed.bus || r.port != listed.port) return false;
        product = field(r.product, sizeof r.product);
        serial = field(r.id2, sizeof r.id2);
        return true;
    }

    py::dict info() {
        const lumox_dev_t &r = slot_->rec;
        const lumox_drv *drv =
            call("lumox_dev_get_drv", [&] { return lumox_dev_get_drv(&slot_->rec); });
        py::dict d;
        d["bus"] = r.bus;
        d["port"] = r.port;
        d["address"] = r.addr;
        d["speed"] = r.speed;
        d["product"] = field(r.product, sizeof r.product);
        d["serial"] = field(r.id2, sizeof r.id2);
        d["id5"] = py::bytes(reinterpret_cast<const char *>(r.id5_data), sizeof r.id5_data);
        d["id6"] = py::bytes(reinterpret_cast<const char *>(r.id6_data), sizeof r.id6_data);
        d["driver"] = drv && drv->name ? py::str(drv->name) : py::str("");
        d["driver_code"] = drv && drv->code ? py::str(drv->code) : py::str("");
        d["calibration_path"] = r.calib_path ? py::str(r.calib_path) : py::str("");
        return d;
    }

    // ---- Parameters and registers ----

    py::bytes param_get(uint32_t id) {
        lumox_param_item item{};
        item.param_id = id;
        const bool ok = call("lumox_param_batch_get",
                             [&] { return lumox_param_batch_get(&slot_->rec, &item, 1) != 0; });
        if (!ok)
            fail_last("lumox_param_batch_get", 0,
                      "the camera did not answer parameter " + std::to_string(id));
        const size_t n = std::min<size_t>(item.param_val_len, LUMOX_PARAM_VAL_MAX);
        return py::bytes(reinterpret_cast<const char *>(item.param_val), n);
    }

    void param_set(uint32_t id, const py::bytes &value) {
        const std::string v = value;
        if (v.size() > LUMOX_PARAM_VAL_MAX)
            throw py::value_error("a parameter value holds at most 18 bytes");
        lumox_param_item item{};
        item.param_id = id;
        item.param_val_len = static_cast<uint8_t>(v.size());
        std::memcpy(item.param_val, v.data(), v.size());
        const bool ok = call("lumox_param_batch_set",
                             [&] { return lumox_param_batch_set(&slot_->rec, &item, 1) != 0; });
        if (!ok)
            fail_last("lumox_param_batch_set", 0,
                      "the camera refused parameter " + std::to_string(id));
    }

    py::array_t<uint32_t> reg_read(uint8_t target, uint32_t base, uint32_t count) {
        if (count == 0 || count > 0xFFFF) throw py::value_error("count must be 1 to 65535");
        py::array_t<uint32_t> out(count);
        uint32_t *p = out.mutable_data();
        const bool ok = call("lumox_reg_batch_read", [&] {
            return lumox_reg_batch_read(&slot_->rec, target, base, p,
                                        static_cast<uint16_t>(count)) != 0;
        });
        if (!ok) fail_last("lumox_reg_batch_read", 0, "register read failed");
        return out;
    }

    void reg_write(uint8_t target, uint32_t base,
                   const py::array_t<uint32_t, py::array::c_style | py::array::forcecast> &values) {
        const auto count = values.size();
        if (count == 0 || count > 0xFFFF) throw py::value_error("1 to 65535 values");
        const uint32_t *p = values.data();
        const bool ok = call("lumox_reg_batch_write", [&] {
            return lumox_reg_batch_write(&slot_->rec, target, base, p,
                                         static_cast<uint16_t>(count)) != 0;
        });
        if (!ok) fail_last("lumox_reg_batch_write", 0, "register write failed");
    }

    // ---- Filters ----

    void filter(uint32_t id, bool enable, const py::bytes &arg) {
        std::string a = arg;
        const int32_t r = call("lumox_filter_enable", [&] {
            return enable ? lumox_filter_enable(&slot_->rec, id, a.empty() ? nullptr : a.data(),
                                                static_cast<uint32_t>(a.size()))
                          : lumox_filter_disable(&slot_->rec, id);
        });
        if (r != 1)
            fail_last(enable ? "lumox_filter_enable" : "lumox_filter_disable", r,
                      r == 0 ? "the driver refused filter " + std::to_string(id)
                             : "the camera's driver has no such switches");
    }

    // ---- Recording ----

    // What a recording keeps of this camera (identity, parameters, calibration package, files
    // and lens, capture settings), for the filter switches given. The camera must not be
    // capturing: its calibration package is read as a frame.
    lumox::recording::Header recording_header(const std::vector<std::string> &filters) {
        lumox::recording::Header header;
        std::string error;
        const bool ok = call("lumox_cap_get_frames", [&] {
            return lumox::recording::describe_camera(&slot_->rec, files_before_open_, filters,
                                                     &header, &error);
        });
        if (!ok) {
            // The step that failed, with the library's own reason when it gave one.
            const std::string library = lumox_last_error();
            throw Failure{library.empty() ? error : error + ": " + library, 0, "describe_camera"};
        }
        return header;
    }

    // ---- Capture ----

    void set_buffer_frames(uint32_t frames) {
        if (frames == 0 || frames > 1000) throw py::value_error("1 to 1000 frames");
        const bool ok = call("lumox_cap_set_frame_buffer", [&] {
            return lumox_cap_set_frame_buffer(&slot_->rec, nullptr,
                                              frames * LUMOX_FRAME_BUF_UNIT) != 0;
        });
        if (!ok) fail_last("lumox_cap_set_frame_buffer", 0, "frame buffer refused");
    }

    void start() {
        stopped_.store(false);
        const bool ok = call("lumox_cap_start", [&] { return lumox_cap_start(&slot_->rec) != 0; });
        if (!ok) fail_last("lumox_cap_start", 0, "the capture did not start");
    }

    void stop() {
        if (!open_.load()) return;
        stopped_.store(true);
        call("lumox_cap_stop", [&] { return lumox_cap_stop(&slot_->rec); });
    }

    bool capturing() {
        if (!open_.load()) return false;
        return call("lumox_cap_is_ongoing", [&] { return lumox_cap_is_ongoing(&slot_->rec); }) != 0;
    }

    py::dict stats() {
        lumox_cap_stats s{};
        const bool ok =
            call("lumox_cap_get_stats", [&] { return lumox_cap_get_stats(&slot_->rec, &s) != 0; });
        if (!ok) fail_last("lumox_cap_get_stats", 0, "no statistics");
        py::dict d;
        d["frames_received"] = s.frames_received;
        d["frames_queued"] = s.frames_queued;
        d["frames_discarded"] = s.frames_discarded;
        d["frames_overflowed"] = s.frames_overflowed;
        d["frames_ready"] = s.frames_ready;
        d["bytes_dropped"] = s.bytes_dropped;
        return d;
    }

    // One frame into a new array the library fills. Returns (data, info, time, temperatures), or
    // None when the capture is not running (stopped, closed, or ended by itself without error).
    // A capture error raises with its code; no frame in the library's wait raises code 0.
    py::object next_frame() {
        check_no_reentry("lumox_cap_get_frames");
        const uint32_t capacity = frame_bytes_.load();
        py::array_t<uint8_t> data = frame_pool_.take({static_cast<py::ssize_t>(capacity)});
        uint8_t *p = data.mutable_data();
        lumox_frame_info info{};
        lx_raw_frame_info raw{};
        double when = 0;
        const int32_t r = poll("lumox_cap_get_frames", [&] {
            const int32_t got = lumox_cap_get_frames(&slot_->rec, 1, p, capacity, &info);
            when = host_time();
            if (got == 1) lumox_cap_get_raw_info(&slot_->rec, &raw);
            return got;
        });
        // A stop or close from another thread can wake the wait before the capture reads as
        // stopped; that poll ends with no frame rather than an error.
        if (r == LUMOX_CAP_NOT_CAPTURING || (r == 0 && stopped_.load())) return py::none();
        if (r == 0) fail_last("lumox_cap_get_frames", 0, "no frame arrived in time");
        if (r < 0)
            fail_last("lumox_cap_get_frames", r,
                      r == LUMOX_CAP_BAD_CALL ? "bad capture call" : lumox_error_name(r));
        if (info.frame_size > capacity) {
            // The library cut the frame to the buffer; later frames get a buffer that holds them.
            frame_bytes_.store(info.frame_size);
            misuse("lumox_cap_get_frames",
                   "frame " + std::to_string(info.frame_idx) + " of " +
                       std::to_string(info.frame_size) + " bytes did not fit the " +
                       std::to_string(capacity) + "-byte buffer and was cut; the next frames fit");
        }
        py::array frame = data;
        if (info.frame_size < capacity) {
            // Much smaller frames are copied out rather than keep the whole buffer alive.
            frame =
                info.frame_size * 2 <= capacity
                    ? py::array_t<uint8_t>(info.frame_size, p)
                    : data.attr("__getitem__")(py::slice(0, info.frame_size, 1)).cast<py::array>();
        }
        return py::make_tuple(frame, info_tuple(info), when,
                              py::make_tuple(raw.temp_sensor / 10.0, raw.temp_ib / 10.0));
    }

    // Delivers frames to the frame-ready callback for up to timeout_ms (0: until the capture
    // ends), in slices, so that signals and callback exceptions are seen. True when the capture
    // ended.
    bool wait(uint32_t timeout_ms) {
        check_no_reentry("lumox_cap_wait");
        const double end = host_time() + timeout_ms / 1000.0;
        for (;;) {
            uint32_t slice = 100;
            if (timeout_ms) {
                const double left = end - host_time();
                if (left <= 0) return false;
                slice = std::min<uint32_t>(slice, static_cast<uint32_t>(left * 1000) + 1);
            }
            const bool ended =
                poll("lumox_cap_wait", [&] { return lumox_cap_wait(&slot_->rec, slice) != 0; });
            if (ended || !capturing()) return true;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    void set_frame_callback(py::object cb, py::object factory) {
        check_open("lumox_cap_set_callback_on_frame_ready");
        on_frame_ = std::move(cb);
        frame_factory_ = std::move(factory);
        const lumox_cap_frdy_cb c = on_frame_.is_none() ? nullptr : &Device::frame_ready;
        call("lumox_cap_set_callback_on_frame_ready", [&] {
            lumox_cap_set_callback_on_frame_ready(&slot_->rec, c);
            return 0;
        });
    }

    void set_error_callback(py::object cb) {
        check_open("lumox_cap_set_callback_on_error");
        on_error_ = std::move(cb);
        const lumox_cap_err_cb c = on_error_.is_none() ? nullptr : &Device::capture_error;
        call("lumox_cap_set_callback_on_error", [&] {
            lumox_cap_set_callback_on_error(&slot_->rec, c);
            return 0;
        });
    }

    // ---- Conversion ----

    // The description of a raw frame, checked against its data.
    static lumox_frame_info frame_to_decode(const py::array_t<uint8_t> &raw,
                                            const py::sequence &info_t) {
        const lumox_frame_info info = info_from(info_t);
        if (!(raw.flags() & py::array::c_style) || raw.ndim() != 1)
            throw py::value_error("the frame data must be a 1-D C-contiguous uint8 array");
        if (static_cast<uint64_t>(raw.size()) < info.frame_size)
            throw py::value_error("the frame data is shorter than the frame size");
        if (info.width == 0 || info.height == 0 ||
            static_cast<uint64_t>(info.width) * info.height > (1u << 24))
            throw py::value_error("the frame size is not that of an image");
        return info;
    }

    // Distances (metres) and amplitudes of a raw frame from one decode, shape (height, width)
    // each.
    py::tuple decode_both(const py::array_t<uint8_t> &raw, const py::sequence &info_t,
                          bool keep_codes) {
        const lumox_frame_info info = frame_to_decode(raw, info_t);
        const auto h = static_cast<py::ssize_t>(info.height);
        const auto w = static_cast<py::ssize_t>(info.width);
        py::array dist = image_pool_.take({h, w});
        py::array gray = image_pool_.take({h, w});
        float *d = writable<float>(dist, "distance", {h, w});
        float *g = writable<float>(gray, "gray", {h, w});
        const uint8_t *src = raw.data();
        const auto pixels = static_cast<uint32_t>(info.width * info.height);
        constexpr const char *kName = "lumox_frame_get_distance_gray";
        const int32_t r = call(kName, [&] {
            const int32_t n = lumox_frame_get_distance_gray(
                &slot_->rec, d, g, pixels, src, static_cast<uint32_t>(raw.size()), &info);
            if (n > 0 && !keep_codes) codes_to_nan(d, pixels);
            return n;
        });
        if (r <= 0) fail_last(kName, r, "the frame could not be decoded");
        return py::make_tuple(dist, gray);
    }

    // Distances (metres) or amplitudes of a raw frame into out, shape (height, width).
    py::array decode(bool distance, const py::array_t<uint8_t> &raw, const py::sequence &info_t,
                     py::object out_obj, bool keep_codes) {
        const lumox_frame_info info = frame_to_decode(raw, info_t);
        const auto h = static_cast<py::ssize_t>(info.height);
        const auto w = static_cast<py::ssize_t>(info.width);
        py::array out = out_obj.is_none() ? image_pool_.take({h, w}) : out_obj.cast<py::array>();
        float *dst = writable<float>(out, "out", {h, w});
        const uint8_t *src = raw.data();
        const auto pixels = static_cast<uint32_t>(info.width * info.height);
        const char *name = distance ? "lumox_frame_get_distance" : "lumox_frame_get_gray";
        const int32_t r = call(name, [&] {
            const int32_t n =
                distance ? lumox_frame_get_distance(&slot_->rec, dst, pixels, src,
                                                    static_cast<uint32_t>(raw.size()), &info)
                         : lumox_frame_get_gray(&slot_->rec, dst, pixels, src,
                                                static_cast<uint32_t>(raw.size()), &info);
            if (n > 0 && distance && !keep_codes) codes_to_nan(dst, pixels);
            return n;
        });
        if (r <= 0) fail_last(name, r, "the frame could not be decoded");
        return out;
    }

    // The camera model for a frame size: pinhole plus plumb_bob distortion.
    py::dict intrinsics(uint32_t width, uint32_t height) {
        lumox_intrinsics in{};
        const bool ok = call("lumox_dev_get_intrinsics", [&] {
            return lumox_dev_get_intrinsics(&slot_->rec, width, height, &in) != 0;
        });
        if (!ok)
            fail_last(
                "lumox_dev_get_intrinsics", 0,
                "no lens for a " + std::to_string(width) + "x" + std::to_string(height) + " frame");
        py::dict d;
        d["width"] = in.width;
        d["height"] = in.height;
        d["binning_x"] = in.binning_x;
        d["binning_y"] = in.binning_y;
        d["fx"] = in.fx;
        d["fy"] = in.fy;
        d["cx"] = in.cx;
        d["cy"] = in.cy;
        d["distortion_model"] = field(in.distortion_model, sizeof in.distortion_model);
        d["d"] = py::make_tuple(in.d[0], in.d[1], in.d[2], in.d[3], in.d[4]);
        return d;
    }

    // The distance correction in force; best: switch on the best one first.
    py::dict correction(bool best) {
        lumox_correction_state s{};
        const bool ok = call("lumox_dev_get_correction", [&] {
            return (best ? lumox_dev_use_best_correction(&slot_->rec, &s)
                         : lumox_dev_get_correction(&slot_->rec, &s)) != 0;
        });
        if (!ok) fail_last("lumox_dev_get_correction", 0, "no correction for this driver");
        static const char *const kKinds[] = {"default", "linear", "host", "firmware"};
        py::dict d;
        d["kind"] = kKinds[s.correction >= 0 && s.correction <= 3 ? s.correction : 0];
        d["files_present"] = s.files_present != 0;
        d["files_match"] = s.files_match != 0;
        d["camera_package"] = s.camera_package != 0;
        d["reason"] = field(s.reason, sizeof s.reason);
        return d;
    }

    // Points of a distance image on each pixel's own ray through the lens (the library's
    // lumox_frame_get_points): packed (N, 3), or organized (H, W, 3) with NaN where a pixel has
    // no distance.
    py::array ray_points(const py::array_t<float> &dist, bool organized) {
        if (!(dist.flags() & py::array::c_style) || dist.ndim() != 2)
            throw py::value_error("the distance image must be a 2-D C-contiguous float32 array");
        const auto h = dist.shape(0), w = dist.shape(1);
        const uint64_t pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
        if (pixels == 0 || pixels > (1u << 24)) throw py::value_error("empty or huge image");
        auto out = organized
                       ? py::array_t<float>({h, w, py::ssize_t{3}})
                       : py::array_t<float>({static_cast<py::ssize_t>(pixels), py::ssize_t{3}});
        float *xyz = out.mutable_data();
        const float *d = dist.data();
        const int32_t n = call("lumox_frame_get_points", [&] {
            return lumox_frame_get_points(&slot_->rec, xyz, static_cast<uint32_t>(3 * pixels), d,
                                          static_cast<uint32_t>(pixels), static_cast<uint32_t>(w),
                                          static_cast<uint32_t>(h),
                                          organized ? LUMOX_POINTS_ORGANIZED : LUMOX_POINTS_PACKED);
        });
        if (n < 0)
            fail_last("lumox_frame_get_points", n,
                      "no lens for a " + std::to_string(w) + "x" + std::to_string(h) + " image");
        if (!organized) out.resize({static_cast<py::ssize_t>(n), py::ssize_t{3}}, false);
        return out;
    }

    // Points of a distance image by the pinhole projection of lumox_frame_get_pcl: packed (N, 3),
    // or organized (H, W, 3) with NaN where a pixel has no distance (the library's own test:
    // inside (0, 60) metres).
    py::array points(const py::array_t<float> &dist, bool organized, py::object view_obj) {
        if (!(dist.flags() & py::array::c_style) || dist.ndim() != 2)
            throw py::value_error("the distance image must be a 2-D C-contiguous float32 array");
        const auto h = dist.shape(0), w = dist.shape(1);
        const uint64_t pixels = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
        if (pixels == 0 || pixels > (1u << 24)) throw py::value_error("empty or huge image");
        lumox_camera_view view{};
        const lumox_camera_view *vp = nullptr;
        if (!view_obj.is_none()) {
            auto v = view_obj.cast<py::sequence>();
            if (py::len(v) != 5) throw py::value_error("view is (cx, cy, fx, fy, scale)");
            view = {v[0].cast<float>(), v[1].cast<float>(), v[2].cast<float>(), v[3].cast<float>(),
                    v[4].cast<float>()};
            vp = &view;
        }
        const float *d = dist.data();
        auto packed = py::array_t<float>({static_cast<py::ssize_t>(pixels), py::ssize_t{3}});
        float *pcl = packed.mutable_data();
        py::array_t<float> grid;
        float *g = nullptr;
        if (organized) {
            grid = py::array_t<float>({h, w, py::ssize_t{3}});
            g = grid.mutable_data();
        }
        const int32_t n = call("lumox_frame_get_pcl", [&] {
            const int32_t got =
                lumox_frame_get_pcl(&slot_->rec, pcl, static_cast<uint32_t>(3 * pixels), d,
                                    static_cast<uint32_t>(pixels), static_cast<uint32_t>(w),
                                    static_cast<uint32_t>(h), vp);
            if (g) {
                const float nan = std::nanf("");
                int32_t k = 0;
                for (uint64_t i = 0; i < pixels; ++i) {
                    float *cell = g + 3 * i;
                    if (d[i] > 0.0f && d[i] < 60.0f && k < got) {
                        std::memcpy(cell, pcl + 3 * k, 3 * sizeof(float));
                        ++k;
                    } else {
                        cell[0] = cell[1] = cell[2] = nan;
                    }
                }
            }
            return got;
        });
        const bool any = std::any_of(d, d + pixels, [](float v) { return v > 0.0f && v < 60.0f; });
        if (n <= 0 && any) fail_last("lumox_frame_get_pcl", n, "no lens parameters for the image");
        if (organized) return grid;
        packed.resize({static_cast<py::ssize_t>(std::max(n, 0)), py::ssize_t{3}}, false);
        return packed;
    }

    // ---- Firmware, data and calibration ----

    int32_t transfer(const std::string &call_name,
                     const std::function<int32_t(lumox_progress_fn, void *)> &run,
                     py::object progress) {
        struct Progress {
            py::object fn;
            std::unique_ptr<py::error_already_set> error;
        } state{std::move(progress), nullptr};
        lumox_progress_fn trampoline = nullptr;
        if (!state.fn.is_none()) {
            trampoline = [](uint64_t done, uint64_t total, void *user) {
                auto *s = static_cast<Progress *>(user);
                py::gil_scoped_acquire gil;
                if (s->error) return;
                try {
                    s->fn(done, total);
                } catch (py::error_already_set &e) {
                    s->error = std::make_unique<py::error_already_set>(std::move(e));
                }
            };
        }
        const int32_t r = call(call_name.c_str(), [&] { return run(trampoline, &state); });
        if (state.error) throw *state.error;
        if (r != 1) fail_last(call_name, r, "the transfer failed");
        return r;
    }

    void data_download(const std::string &path, uint8_t type, uint16_t version, uint32_t addr,
                       py::object progress) {
        transfer(
            "lumox_data_download",
            [&](lumox_progress_fn fn, void *user) {
                return lumox_data_download_progress(&slot_->rec, path.c_str(), type, version, addr,
                                                    fn, user);
            },
            std::move(progress));
    }

    void data_upload(uint8_t type, const std::string &path, py::object progress) {
        transfer(
            "lumox_data_upload",
            [&](lumox_progress_fn fn, void *user) {
                return lumox_data_upload_progress(&slot_->rec, type, path.c_str(), fn, user);
            },
            std::move(progress));
    }

  private:
    void check_open(const char *name) const {
        if (!open_.load()) misuse(name, "the camera is closed");
    }
    void check_no_reentry(const char *name) const {
        if (t_in_callback == this) misuse(name, "a camera's callback cannot poll the same camera");
    }

    [[noreturn]] void fail_last(const std::string &name, long long code,
                                const std::string &fallback) {
        fail(name, code, fallback);
    }

    // Runs f on the record with the GIL released and the gate held shared; clears the thread's
    // last error text first, for fail_last.
    template <class F>
    auto call(const char *name, F &&f) -> decltype(f()) {
        check_open(name);
        py::gil_scoped_release nogil;
        // Inside a callback the polling call that runs it already holds the gate.
        std::shared_lock lock(gate_, std::defer_lock);
        if (t_in_callback != this) lock.lock();
        if (!open_.load()) {
            py::gil_scoped_acquire gil;
            misuse(name, "the camera is closed");
        }
        lumox_clear_last_error();
        return f();
    }

    // As call, for the polling calls: one at a time per device; a callback's exception is raised
    // once the call has returned.
    template <class F>
    auto poll(const char *name, F &&f) -> decltype(f()) {
        bool expected = false;
        if (!polling_.compare_exchange_strong(expected, true))
            misuse(name, "another thread is polling this camera");
        struct Done {
            std::atomic<bool> &flag;
            ~Done() { flag.store(false); }
        } done{polling_};
        auto r = call(name, std::forward<F>(f));
        if (callback_error_) {
            auto e = std::move(callback_error_);
            throw *e;
        }
        return r;
    }

    static void frame_ready(lumox_dev_t *dev, lumox_frame *frame) {
        Device *self = owner_of(dev);
        py::gil_scoped_acquire gil;
        if (self->callback_error_ || self->on_frame_.is_none()) return;
        Device *outer = t_in_callback;
        t_in_callback = self;
        try {
            // The bytes are valid only during the callback: the frame handed on owns a copy.
            py::array_t<uint8_t> data(frame->info.frame_size);
            std::memcpy(data.mutable_data(), frame->data, frame->info.frame_size);
            lx_raw_frame_info raw{};
            lumox_cap_get_raw_info(dev, &raw);
            self->on_frame_(
                self->frame_factory_(data, info_tuple(frame->info), host_time(),
                                     py::make_tuple(raw.temp_sensor / 10.0, raw.temp_ib / 10.0)));
        } catch (py::error_already_set &e) {
            self->callback_error_ = std::make_unique<py::error_already_set>(std::move(e));
        }
        t_in_callback = outer;
    }

    static uint8_t capture_error(lumox_dev_t *dev, int32_t error, uint32_t arg) {
        Device *self = owner_of(dev);
        py::gil_scoped_acquire gil;
        if (self->callback_error_ || self->on_error_.is_none()) return 1;
        Device *outer = t_in_callback;
        t_in_callback = self;
        uint8_t go_on = 1;
        try {
            go_on = py::bool_(self->on_error_(error, arg)) ? 1 : 0;
        } catch (py::error_already_set &e) {
            self->callback_error_ = std::make_unique<py::error_already_set>(std::move(e));
            go_on = 0;
        }
        t_in_callback = outer;
        return go_on;
    }

    std::unique_ptr<Slot> slot_;
    std::set<std::string> files_before_open_;
    ArrayPool<uint8_t> frame_pool_;
    ArrayPool<float> image_pool_;
    std::shared_mutex gate_;
    std::atomic<bool> open_{false};
    std::atomic<bool> polling_{false};
    std::atomic<bool> stopped_{false};  // stop or close asked for since the last start
    std::atomic<uint32_t> frame_bytes_{kDefaultFrameBytes};
    py::object on_frame_ = py::none();
    py::object frame_factory_ = py::none();
    py::object on_error_ = py::none();
    std::unique_ptr<py::error_already_set> callback_error_;
};

// ---- Cameras arriving and leaving -----------------------------------------------------------

// One registration for hot-plug events (lumox_hotplug_register): with a callable, the library's
// hot-plug thread calls it once per event; without one, next() takes the queued events.
//
// Threads: the callable runs on the library's hot-plug thread, which takes the GIL for it. Every
// wait for the library (registering, polling, deregistering) releases the GIL, so the hot-plug
// thread can always run a callback that deregistration or an application thread waits for.
// Lifetime: the Python object owns the Watch through a shared pointer; a callback holds it too,
// so that dropping the last reference inside the callback frees it after the callback.
class Watch : public std::enable_shared_from_this<Watch> {
  public:
    explicit Watch(py::object callback) : callback_(std::move(callback)) {}
    ~Watch() { close(); }
    Watch(const Watch &) = delete;
    Watch &operator=(const Watch &) = delete;

    // Registers; raises lumox.Error with the library's result when it cannot.
    void start(bool enumerate) {
        if (!g_started.load()) misuse("lumox_hotplug_register", "the library is not started");
        const uint32_t flags = enumerate ? LUMOX_HOTPLUG_ENUMERATE : 0;
        int32_t h = 0;
        {
            py::gil_scoped_release nogil;
            h = callback_.is_none() ? lumox_hotplug_register(nullptr, nullptr, flags)
                                    : lumox_hotplug_register(&Watch::on_event, this, flags);
        }
        if (h == LUMOX_HOTPLUG_UNSUPPORTED)
            throw Failure{"the USB stack of this system reports no hot-plug support", h,
                          "lumox_hotplug_register"};
        if (h < 0) throw Failure{"the USB bus cannot be watched", h, "lumox_hotplug_register"};
        handle_.store(h);
    }

    // The next queued event as a tuple (see event_tuple), waiting up to timeout_ms; None when
    // none came or the registration ended.
    py::object next(uint32_t timeout_ms) {
        if (!callback_.is_none()) misuse("lumox_hotplug_poll", "a callback watch has no queue");
        const int32_t h = handle_.load();
        if (h <= 0) return py::none();
        lumox_hotplug_event e{};
        int32_t n = 0;
        {
            py::gil_scoped_release nogil;
            n = lumox_hotplug_poll(h, &e, 1, timeout_ms);
        }
        if (n < 0) handle_.store(0);  // ended (lumox_uninit or close on another thread)
        if (n <= 0) return py::none();
        return event_tuple(e);
    }

    // Deregisters: no callback runs after this returns (inside this watch's own callback, once
    // the callback returns).
    void close() {
        const int32_t h = handle_.exchange(0);
        if (h <= 0) return;
        if (PyGILState_Check()) {
            py::gil_scoped_release nogil;
            lumox_hotplug_deregister(h);
        } else {
            lumox_hotplug_deregister(h);
        }
    }

    bool closed() const { return handle_.load() <= 0; }

  private:
    // (kind, bus, port, address, speed, serial, sequence, lost); kind 1 arrived, 2 left.
    static py::tuple event_tuple(const lumox_hotplug_event &e) {
        return py::make_tuple(e.kind, e.bus, e.port, e.addr, e.speed,
                              field(e.serial, sizeof e.serial), e.sequence, e.lost);
    }

    // On the library's hot-plug thread.
    static void on_event(const lumox_hotplug_event *event, void *user) {
        // lumox_uninit at exit ends every registration before the interpreter goes away; a late
        // event finds the library stopped and is not handed to Python.
        if (!g_started.load()) return;
        auto *self = static_cast<Watch *>(user);
        py::gil_scoped_acquire gil;
        // Empty when the last reference is being dropped on another thread: its deregistration
        // waits for this call.
        const std::shared_ptr<Watch> keep = self->weak_from_this().lock();
        if (!keep || keep->closed()) return;
        try {
            keep->callback_(event_tuple(*event));
        } catch (py::error_already_set &e) {
            // Nobody to raise it to on this thread: Python reports it as unraisable.
            e.discard_as_unraisable("lumox hot-plug callback");
        }
    }

    py::object callback_;
    std::atomic<int32_t> handle_{0};
};

std::shared_ptr<Watch> make_watch(py::object callback, bool enumerate) {
    auto w = std::make_shared<Watch>(std::move(callback));
    w->start(enumerate);
    return w;
}

// ---- Library-wide calls ----------------------------------------------------------------------

// Starts the library, logging to log_path, or to no file when it is empty: failures are explained
// by the library's last error text, not by a log.
void start(const std::string &log_path, uint32_t console_level) {
    if (g_started.exchange(true)) return;
    py::gil_scoped_release nogil;
    if (!log_path.empty()) {
        lumox_init(log_path.c_str());
    } else {
        // The library opens a log file at start-up: give it one that keeps nothing, and silence
        // that output.
        lumox_init("/dev/null");
        lx_log_enable(LX_LOG_OUT_FILE, LX_LOG_OFF, nullptr);
    }
    lx_log_enable(LX_LOG_OUT_CONSOLE, console_level, nullptr);
}

void finish() {
    if (!g_started.exchange(false)) return;
    py::gil_scoped_release nogil;
    lumox_uninit();
}

// The cameras on the bus: (bus, port, address, speed, product, serial). The identity comes from a
// short transport-level session with each camera; a camera that cannot be opened (in use
// elsewhere, no permission) is listed with empty identity strings.
py::list devices() {
    if (!g_started.load()) misuse("lumox_dev_list", "the library is not started");
    struct Found {
        lumox_dev_t rec;
        std::string product, serial;
    };
    std::vector<Found> found;
    {
        py::gil_scoped_release nogil;
        lumox_dev_t list[32];
        const int32_t n = lumox_dev_list(list, 32);
        for (int32_t i = 0; i < n; ++i) {
            Found f{list[i], {}, {}};
            bool known = false;
            {
                std::lock_guard lock(g_open_mutex);
                for (const Device *d : g_open)
                    known = known || d->identity(list[i], f.product, f.serial);
            }
            if (known) {
                found.push_back(f);
                continue;
            }
            lumox_ll_dev ll{};
            ll.if_type = list[i].if_type;
            ll.bus = list[i].bus;
            ll.port = list[i].port;
            ll.addr = list[i].addr;
            ll.speed = list[i].speed;
            ll.location_valid = 1;
            if (lumox_ll_dev_open(&ll)) {
                // Parameter records on the transport: identifier, length, 18 value bytes.
                uint8_t records[2][20] = {};
                records[0][0] = LUMOX_PARAM_PRODUCT;
                records[1][0] = LUMOX_PARAM_ID2;
                if (lumox_ll_param_get(&ll, records, 2)) {
                    f.product = field(reinterpret_cast<const char *>(&records[0][2]),
                                      std::min<size_t>(records[0][1], 18));
                    f.serial = field(reinterpret_cast<const char *>(&records[1][2]),
                                     std::min<size_t>(records[1][1], 18));
                }
                lumox_ll_dev_close(&ll);
            }
            found.push_back(f);
        }
    }
    py::list out;
    for (const Found &f : found)
        out.append(
            py::make_tuple(f.rec.bus, f.rec.port, f.rec.addr, f.rec.speed, f.product, f.serial));
    return out;
}

py::array colorize(const py::array_t<float> &depth, float lo, float hi, uint32_t format) {
    if (!(depth.flags() & py::array::c_style))
        throw py::value_error("depth must be a C-contiguous float32 array");
    if (depth.size() > INT32_MAX / 4) throw py::value_error("image too large");
    const int bpp = format == LUMOX_CMAP_RGB32 ? 4 : 3;
    std::vector<py::ssize_t> shape(depth.shape(), depth.shape() + depth.ndim());
    shape.push_back(bpp);
    py::array_t<uint8_t> out(shape);
    uint8_t *dst = out.mutable_data();
    const float *src = depth.data();
    const auto n = static_cast<int32_t>(depth.size());
    {
        py::gil_scoped_release nogil;
        lumox_cmap_float(dst, n * bpp, src, n, format, lo, hi);
    }
    return out;
}

py::dict param_names() {
    py::dict d;
    for (uint32_t id = 0; id < 256; ++id)
        if (const char *name = lumox_param_name(id)) d[py::str(name)] = id;
    return d;
}

// Errors of the library raise the package's Error class, once the package has named it.
void bind_errors(py::module_ &m) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Failure &f) {
            if (!g_error_class) {
                PyErr_SetString(PyExc_RuntimeError, f.message.c_str());
                return;
            }
            py::object e =
                py::reinterpret_borrow<py::object>(g_error_class)(f.message, f.code, f.call);
            PyErr_SetObject(g_error_class, e.ptr());
        }
    });
    m.def("set_error_class", [](py::object cls) {
        Py_XDECREF(g_error_class);
        g_error_class = cls.release().ptr();
    });
}

void bind_functions(py::module_ &m) {
    m.def("start", &start, py::arg("log_path"), py::arg("console_level"));
    m.def("finish", &finish);
    m.def("devices", &devices);
    m.def("colorize", &colorize);
    m.def("param_names", &param_names);
    m.def("error_name", [](int32_t code) { return std::string(lumox_error_name(code)); });
    m.def("path_set", [](const std::string &p) { return lumox_path_cfg(p.c_str()); });
    m.def("path_get", [] { return std::string(lumox_path_get()); });
    m.def("calibration_names", [] {
        char images[300] = {};
        char params[300] = {};
        calibrationGetDistanceImagesName(images);
        calibrationGetParamName(params);
        return py::make_tuple(std::string(params), std::string(images));
    });
}

void bind_constants(py::module_ &m) {
    m.attr("VERSION") = LUMOX_VERSION;
    m.attr("FILTERS") =
        py::dict(py::arg("LENS_UNDISTORT") = static_cast<int>(FILTER_LENS_UNDISTORT),
                 py::arg("DRNU") = static_cast<int>(FILTER_DRNU),
                 py::arg("DEPTH_SMOOTH") = static_cast<int>(FILTER_DEPTH_SMOOTH),
                 py::arg("MIN_AMPLITUDE") = static_cast<int>(FILTER_MIN_AMPLITUDE),
                 py::arg("AUTO_INTEGRATION") = static_cast<int>(FILTER_AUTO_INTEGRATION),
                 py::arg("DCS_SUM_CHECK") = static_cast<int>(FILTER_DCS_SUM_CHECK),
                 py::arg("TEMP_MONITOR") = static_cast<int>(FILTER_TEMP_MONITOR),
                 py::arg("HDR") = static_cast<int>(FILTER_HDR));
    m.attr("CMAP_RGB24") = static_cast<int>(LUMOX_CMAP_RGB24);
    m.attr("CMAP_RGB32") = static_cast<int>(LUMOX_CMAP_RGB32);
    m.attr("CMAP_BGR24") = static_cast<int>(LUMOX_CMAP_BGR24);
}

void bind_watch(py::module_ &m) {
    py::class_<Watch, std::shared_ptr<Watch>>(m, "Watch")
        .def(py::init(&make_watch), py::arg("callback"), py::arg("enumerate"))
        .def("next", &Watch::next, py::arg("timeout_ms"))
        .def("close", &Watch::close)
        .def_property_readonly("closed", &Watch::closed);
    m.attr("HOTPLUG_ARRIVED") = static_cast<int>(LUMOX_HOTPLUG_ARRIVED);
    m.attr("HOTPLUG_LEFT") = static_cast<int>(LUMOX_HOTPLUG_LEFT);
}

void bind_device(py::module_ &m) {
    py::class_<Device>(m, "Device")
        .def(py::init<std::optional<std::pair<int, int>>, std::optional<std::string>>(),
             py::arg("where"), py::arg("serial") = py::none())
        .def_property_readonly("is_open", &Device::is_open)
        .def("close", &Device::close)
        .def("info", &Device::info)
        .def("param_get", &Device::param_get)
        .def("param_set", &Device::param_set)
        .def("reg_read", &Device::reg_read)
        .def("reg_write", &Device::reg_write)
        .def("filter", &Device::filter)
        .def("set_buffer_frames", &Device::set_buffer_frames)
        .def("start", &Device::start)
        .def("stop", &Device::stop)
        .def_property_readonly("capturing", &Device::capturing)
        .def("stats", &Device::stats)
        .def("next_frame", &Device::next_frame)
        .def("wait", &Device::wait)
        .def("set_frame_callback", &Device::set_frame_callback)
        .def("set_error_callback", &Device::set_error_callback)
        .def("decode", &Device::decode)
        .def("decode_both", &Device::decode_both)
        .def("points", &Device::points)
        .def("ray_points", &Device::ray_points)
        .def("intrinsics", &Device::intrinsics)
        .def("correction", &Device::correction)
        .def("data_download", &Device::data_download)
        .def("data_upload", &Device::data_upload)
        .def("recording_header", &Device::recording_header);
}

}  // namespace

PYBIND11_MODULE(_lumox, m) {
    m.doc() = "Compiled layer of the lumox package; use the `lumox` module instead.";
    bind_errors(m);
    bind_functions(m);
    bind_constants(m);
    bind_watch(m);
    bind_device(m);
    bind_recording(m);
}
