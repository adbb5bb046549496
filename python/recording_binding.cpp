#include "recording_binding.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "recording/recorded_calibration.h"
#include "recording/recording.h"

namespace py = pybind11;
using namespace pybind11::literals;
namespace rec = lumox::recording;

std::mutex &recording_lock() {
    static std::mutex lock;
    return lock;
}

namespace {

// Runs f with the GIL released and the recording lock held.
template <class F>
auto locked(F &&f) -> decltype(f()) {
    py::gil_scoped_release nogil;
    std::lock_guard lock(recording_lock());
    return f();
}

// A file that cannot be written or read raises OSError, as Python's own files do.
[[noreturn]] void os_error(const std::string &message) {
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

py::bytes as_bytes(const std::vector<uint8_t> &v) {
    return py::bytes(reinterpret_cast<const char *>(v.data()), v.size());
}

py::dict header_dict(const rec::Header &h) {
    py::dict parameters;
    for (const rec::ParamRecord &r : h.camera.parameters)
        parameters[py::int_(r[0])] = py::bytes(reinterpret_cast<const char *>(r.data() + 2),
                                               std::min<size_t>(r[1], rec::kParamRecordSize - 2));
    py::dict camera("product"_a = h.camera.product, "serial"_a = h.camera.id2,
                    "bus"_a = h.camera.bus, "port"_a = h.camera.port,
                    "id5"_a = as_bytes(h.camera.id5), "id6"_a = as_bytes(h.camera.id6),
                    "parameters"_a = parameters);
    py::dict files;
    for (const rec::CalibrationFile &f : h.calibration.files)
        files[py::str(f.name)] = as_bytes(f.bytes);
    py::object lens = py::none();
    if (h.calibration.has_lens) {
        const lx_lens_param &l = h.calibration.lens;
        lens = py::dict("cx"_a = l.cx, "cy"_a = l.cy, "fx"_a = l.fx, "fy"_a = l.fy,
                        "img_w"_a = l.img_w, "img_h"_a = l.img_h,
                        "dcoeff"_a = std::vector<double>(l.dcoeff, l.dcoeff + 5));
    }
    py::dict calibration("package_version"_a = h.calibration.package_version,
                         "fetched_at_open"_a = h.calibration.fetched_at_open,
                         "package"_a = as_bytes(h.calibration.package), "files"_a = files,
                         "lens"_a = lens);
    std::string filters;
    for (const std::string &f : h.capture.filters) filters += (filters.empty() ? "" : " ") + f;
    py::dict capture("frame_rate"_a = h.capture.frame_rate,
                     "integration_time"_a = h.capture.integration_time,
                     "modulation_khz"_a = h.capture.modulation_khz, "filters"_a = filters);
    return py::dict("created_utc"_a = h.created_utc, "library_version"_a = h.library_version,
                    "camera"_a = camera, "calibration"_a = calibration, "capture"_a = capture);
}

template <class T>
void put(uint8_t *&p, T v) {
    std::memcpy(p, &v, sizeof v);
    p += sizeof v;
}

class Writer {
  public:
    Writer(const std::string &path, const rec::Header &header, int compression) {
        if (compression < 0 || compression > 9) throw py::value_error("compression: 0 to 9");
        std::string error;
        writer_ = locked([&] { return rec::Writer::create(path, header, compression, &error); });
        if (!writer_) os_error(error);
    }
    ~Writer() {
        py::gil_scoped_release nogil;
        std::lock_guard lock(recording_lock());
        writer_.reset();
    }

    // One frame: its bytes, its lumox_frame_info fields (size, format, index, width, height,
    // pixel bytes), its lx_raw_frame_info fields (length, index, format, width, height, sensor
    // and board temperatures in 0.1 degC, spare) and the host's times of its arrival.
    void append(const py::array_t<uint8_t, py::array::c_style> &data, const py::sequence &info,
                const py::sequence &raw, int64_t monotonic_ns, int64_t wall_ns) {
        if (py::len(info) != 6 || py::len(raw) != 8)
            throw py::value_error("frame info needs 6 fields, raw info 8");
        const auto size = static_cast<size_t>(data.size());
        if (writer_->frames() > 0 && size != frame_size_)
            throw py::value_error("frame of " + std::to_string(size) + " bytes in a recording of " +
                                  std::to_string(frame_size_) + "-byte frames");
        rec::FrameMeta meta;
        meta.info.frame_size = info[0].cast<uint32_t>();
        meta.info.frame_format = info[1].cast<uint16_t>();
        meta.info.frame_idx = info[2].cast<uint16_t>();
        meta.info.width = info[3].cast<uint32_t>();
        meta.info.height = info[4].cast<uint32_t>();
        meta.info.pixel_bytes = info[5].cast<uint8_t>();
        meta.raw.frlen = raw[0].cast<uint32_t>();
        meta.raw.fridx = raw[1].cast<uint16_t>();
        meta.raw.frfmt = raw[2].cast<uint16_t>();
        meta.raw.width = raw[3].cast<uint16_t>();
        meta.raw.height = raw[4].cast<uint16_t>();
        meta.raw.temp_sensor = raw[5].cast<int16_t>();
        meta.raw.temp_ib = raw[6].cast<int16_t>();
        meta.raw.spare = raw[7].cast<uint32_t>();
        meta.host_monotonic_ns = monotonic_ns;
        meta.host_wall_ns = wall_ns;
        std::string error;
        const uint8_t *bytes = data.data();
        if (!locked([&] { return writer_->append(meta, bytes, size, &error); })) os_error(error);
        frame_size_ = size;
    }

    void close() {
        std::string error;
        if (!locked([&] { return writer_->close(&error); })) os_error(error);
    }

    uint64_t frames() const { return writer_->frames(); }

  private:
    std::unique_ptr<rec::Writer> writer_;
    size_t frame_size_ = 0;
};

class Reader {
  public:
    explicit Reader(const std::string &path) {
        std::string error;
        reader_ = locked([&] { return rec::Reader::open(path, &error); });
        if (!reader_) throw py::value_error(error);
    }
    ~Reader() {
        py::gil_scoped_release nogil;
        std::lock_guard lock(recording_lock());
        reader_.reset();
    }

    py::dict header() const { return header_dict(reader_->header()); }
    uint64_t frame_count() const { return reader_->frame_count(); }
    uint32_t frame_size() const { return reader_->frame_size(); }

    // Frames first, first + step, ... below end (indices already bounded by the caller), as an
    // (n, frame bytes) array.
    py::array_t<uint8_t> frames(uint64_t first, uint64_t end, uint64_t step) {
        if (step == 0 || end > frame_count()) throw py::index_error("frame range out of bounds");
        const uint64_t n = first < end ? (end - first + step - 1) / step : 0;
        const uint32_t size = frame_size();
        py::array_t<uint8_t> out({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(size)});
        uint8_t *dst = out.mutable_data();
        std::string error;
        const bool ok = locked([&] {
            std::vector<uint8_t> bytes;
            for (uint64_t k = 0; k < n; ++k) {
                if (!reader_->read(first + k * step, &bytes, &error)) return false;
                std::memcpy(dst + k * size, bytes.data(), size);
            }
            return true;
        });
        if (!ok) os_error(error);
        return out;
    }

    // The frame descriptions packed as the Python layer's record types: lumox_frame_info
    // (u4 size, u2 format, u2 index, u4 width, u4 height, u1 pixel bytes) and
    // lx_raw_frame_info (u4, u2, u2, u2, u2, i2, i2, u4), little-endian.
    py::bytes info_records() const {
        std::vector<uint8_t> out(frame_count() * 17);
        uint8_t *p = out.data();
        for (const rec::FrameMeta &m : reader_->frames()) {
            put(p, m.info.frame_size), put(p, m.info.frame_format), put(p, m.info.frame_idx);
            put(p, m.info.width), put(p, m.info.height), put(p, m.info.pixel_bytes);
        }
        return as_bytes(out);
    }
    py::bytes raw_info_records() const {
        std::vector<uint8_t> out(frame_count() * 20);
        uint8_t *p = out.data();
        for (const rec::FrameMeta &m : reader_->frames()) {
            put(p, m.raw.frlen), put(p, m.raw.fridx), put(p, m.raw.frfmt), put(p, m.raw.width);
            put(p, m.raw.height), put(p, m.raw.temp_sensor), put(p, m.raw.temp_ib);
            put(p, m.raw.spare);
        }
        return as_bytes(out);
    }
    py::array_t<int64_t> host_ns(bool wall) const {
        py::array_t<int64_t> out(static_cast<py::ssize_t>(frame_count()));
        int64_t *p = out.mutable_data();
        for (const rec::FrameMeta &m : reader_->frames())
            *p++ = wall ? m.host_wall_ns : m.host_monotonic_ns;
        return out;
    }

    void write_calibration(const std::string &dir) const {
        std::string error;
        if (!rec::write_recorded_calibration(reader_->header(), dir, &error)) os_error(error);
    }

  private:
    std::unique_ptr<rec::Reader> reader_;
};

}  // namespace

void bind_recording(py::module_ &m) {
    py::class_<rec::Header>(m, "RecordingHeader").def("as_dict", [](const rec::Header &h) {
        return header_dict(h);
    });
    py::class_<Writer>(m, "RecordingWriter")
        .def(py::init<const std::string &, const rec::Header &, int>(), py::arg("path"),
             py::arg("header"), py::arg("compression"))
        .def("append", &Writer::append)
        .def("close", &Writer::close)
        .def_property_readonly("frames", &Writer::frames);
    py::class_<Reader>(m, "RecordingReader")
        .def(py::init<const std::string &>(), py::arg("path"))
        .def("header", &Reader::header)
        .def_property_readonly("frame_count", &Reader::frame_count)
        .def_property_readonly("frame_size", &Reader::frame_size)
        .def("frames", &Reader::frames)
        .def("info_records", &Reader::info_records)
        .def("raw_info_records", &Reader::raw_info_records)
        .def("host_ns", &Reader::host_ns, py::arg("wall"))
        .def("write_calibration", &Reader::write_calibration, py::arg("dir"));
}
