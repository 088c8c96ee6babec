// _core.cpp -- the Python binding of the whole-image entry: checked arrays in, the GIL released
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>

#include "core/hostErrors.h"
#include "engine/equaliseImage.h"

namespace py = pybind11;

namespace {

// The sample steps of a 2-d or 3-d array; false when a byte stride is not a
// whole number of samples or the data is not aligned for them.
bool sampleSteps(const py::array& array, SampleSteps* steps) {
  const ptrdiff_t size = ptrdiff_t(array.itemsize());
  if (reinterpret_cast<uintptr_t>(array.data()) % uintptr_t(size) != 0) return false;
  ptrdiff_t bytes[3] = {0, 0, size};  // a grey image's one channel
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    bytes[axis] = ptrdiff_t(array.strides(axis));
    if (bytes[axis] % size != 0) return false;
  }
  *steps = SampleSteps{bytes[0] / size, bytes[1] / size, bytes[2] / size};
  return true;
}

template <class D>
OSErr runImage(const ImageFrame& frame, const py::array& image, SampleSteps inSteps,
               const ImageArea& area, py::array& out, SampleSteps outSteps,
               const FilterValues& values, int32_t threads) {
  typedef typename D::Sample Sample;
  const Sample* in = static_cast<const Sample*>(image.data());
  Sample* target = static_cast<Sample*>(out.mutable_data());
  py::gil_scoped_release released;
  return equaliseImageArea<D>(&frame, in, inSteps, &area, target, outSteps, &values, threads);
}

// The Python layer has checked dtypes, shapes, writability and overlap; this
// checks again what would make the C++ side read or write out of bounds. out
// takes the area of its own size whose first pixel is the image's (top, left).
// values: the parameters in the order of PARAMETERS (clamped by the engine).
void equalizeInto(const py::array& image, py::array& out,
                  const std::array<float, kParameterCount>& given, int32_t threads, bool fullRange,
                  int64_t top, int64_t left) {
  const bool wide = image.dtype().is(py::dtype::of<uint16_t>());
  if (!wide && !image.dtype().is(py::dtype::of<uint8_t>())) {
    throw py::type_error("image must be uint8 or uint16");
  }
  if (!out.dtype().is(image.dtype())) throw py::type_error("out must have the image's dtype");
  if (image.ndim() < 2 || image.ndim() > 3 || out.ndim() != image.ndim()) {
    throw py::value_error("image and out must both be 2-d or 3-d");
  }
  if (image.ndim() == 3 && image.shape(2) != out.shape(2)) {
    throw py::value_error("out must have the image's channels");
  }
  if (top < 0 || left < 0 || top + out.shape(0) > image.shape(0) ||
      left + out.shape(1) > image.shape(1)) {
    throw py::value_error("out must lie within the image");
  }
  if (image.shape(0) > INT32_MAX || image.shape(1) > INT32_MAX) {
    throw py::value_error("image sides must be below 2**31");
  }
  const int32_t channels = image.ndim() == 3 ? int32_t(image.shape(2)) : 1;
  const ImageFrame frame = {int32_t(image.shape(1)), int32_t(image.shape(0)), channels,
                            channels == 1 ? 1 : 3, fullRange};
  SampleSteps inSteps, outSteps;
  if (!sampleSteps(image, &inSteps) || !sampleSteps(out, &outSteps)) {
    throw py::value_error("arrays must be aligned with strides of whole samples");
  }
  if (!out.writeable()) throw py::value_error("out is read-only");
  FilterValues values;
  for (int32_t p = 0; p < kParameterCount; ++p) values.value[p] = given[size_t(p)];
  const ImageArea area = {int32_t(top), int32_t(left), int32_t(out.shape(0)),
                          int32_t(out.shape(1))};
  const OSErr err =
      wide ? runImage<Depth16>(frame, image, inSteps, area, out, outSteps, values, threads)
           : runImage<Depth8>(frame, image, inSteps, area, out, outSteps, values, threads);
  if (err == memFullErr) throw std::bad_alloc();  // MemoryError
  if (err != noErr)
    throw py::value_error("the engine refused the image (error " + std::to_string(err) + ")");
}

}  // namespace

PYBIND11_MODULE(_core, module) {
  module.doc() = "The brisel engine's whole-image entry (use brisel.equalize).";
  module.attr("__version__") = BRISEL_VERSION;
  module.attr("MIN_WIDTH") = kMinAreaWidth;
  module.attr("HALO") = kWindowHalo;
  py::tuple names(static_cast<size_t>(kParameterCount));
  for (int32_t p = 0; p < kParameterCount; ++p) names[size_t(p)] = kFilterParameters[p].name;
  module.attr("PARAMETERS") = names;
  module.def("equalize_into", &equalizeInto, py::arg("image"), py::arg("out"), py::arg("values"),
             py::arg("threads"), py::arg("full_range"), py::arg("top") = 0, py::arg("left") = 0,
             "Equalises image, or the area of out's size at (top, left), into out (unchecked "
             "beyond memory safety; see brisel.equalize).");
}
