// The recording library (recording/) in the _lumox module: Python writes and reads recordings
// through the same writer and the same hardened reader as the lumox tools.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>

// Registers RecordingHeader, RecordingWriter, RecordingReader and write_recorded_calibration.
void bind_recording(pybind11::module_ &m);

// The system's HDF5 library is built without thread safety: every recording call of the module
// holds this lock (taken with the GIL released).
std::mutex &recording_lock();
