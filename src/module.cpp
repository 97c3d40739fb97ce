// The Python module kedo: unique_rows and __version__.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "drivers.hpp"

namespace kedo {
namespace {

// Converts query to a base-class ndarray of T in native byte order, C order and
// aligned. Returns query itself when it already is one; otherwise NumPy copies.
// Wrong shapes and oversized extents are refused first, so that nothing is
// copied for them: the Uff driver reports fewer than two dimensions through
// the axis check of shape(), everything else not 2-D is a RuntimeError.
template <typename T>
RowMatrixArray<T> AsRowMatrix(const py::array& query, bool uff) {
  if (query.ndim() > 2 || (query.ndim() < 2 && !uff)) {
    throw std::runtime_error("input array must be 2D");
  }
  const py::ssize_t height = query.shape(0);
  const py::ssize_t width = query.shape(1);
  CheckedExtent(height, 0);
  CheckedExtent(width, 1);
  using api = py::detail::npy_api;
  constexpr int flags = api::NPY_ARRAY_ENSUREARRAY_ | api::NPY_ARRAY_C_CONTIGUOUS_ |
                        api::NPY_ARRAY_ALIGNED_ | api::NPY_ARRAY_FORCECAST_;
  PyObject* converted = api::get().PyArray_FromAny_(query.ptr(), py::dtype::of<T>().release().ptr(),
                                                    0, 0, flags, nullptr);
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<RowMatrixArray<T>>(converted);
}

// Rounds to the nearest float, ties to even; beyond float's range an infinity.
float NarrowTolerance(double tolerance) {
  constexpr double kRoundsToInfinity = 0x1.ffffffp127;  // FLT_MAX + half an ulp
  if (std::abs(tolerance) >= kRoundsToInfinity) {
    // No cast of the out-of-range double: that would be undefined.
    return std::copysign(std::numeric_limits<float>::infinity(), tolerance < 0 ? -1.0f : 1.0f);
  }
  return static_cast<float>(tolerance);
}

bool SelectsUff(const std::string& method) {
  const auto first = static_cast<unsigned char>(method.c_str()[0]);
  return (first & ~0x20u) == 0x41u;
}

py::tuple UniqueRows(const py::array& query, double tolerance, bool sorted_index,
                     const std::string& method) {
  switch (query.dtype().char_()) {
    case 'f': {
      const bool uff = SelectsUff(method);
      const auto matrix = AsRowMatrix<float>(query, uff);
      const float narrowed = NarrowTolerance(tolerance);
      return uff ? UniqueRowsByUff<float>(matrix, sorted_index, narrowed)
                 : UniqueRowsBySort<float>(matrix, sorted_index, narrowed);
    }
    case 'd': {
      const bool uff = SelectsUff(method);
      const auto matrix = AsRowMatrix<double>(query, uff);
      return uff ? UniqueRowsByUff<double>(matrix, sorted_index, tolerance)
                 : UniqueRowsBySort<double>(matrix, sorted_index, tolerance);
    }
    default:
      throw std::runtime_error(
          "KEDO supports float32 and float64. For integer types, use "
          "`np.unique(data, axis=0)`");
  }
}

}  // namespace
}  // namespace kedo

PYBIND11_MODULE(kedo, m) {
  namespace py = pybind11;
  m.def("unique_rows", &kedo::UniqueRows, py::arg("query").none(true),
        py::arg("tolerance").none(true), py::arg("sorted_index").none(true),
        py::arg("method").none(true));
  m.attr("__version__") = py::str("0.1.0");
}
