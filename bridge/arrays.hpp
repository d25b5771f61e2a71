// numpy buffers as core spans: the one place that fixes the buffer contract.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/span.hpp"

namespace bridge {
namespace py = pybind11;

/// A C-contiguous float64 array; other dtypes and layouts are converted on the way in.
using InArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<long long, py::array::c_style | py::array::forcecast>;

template <typename T>
cellcore::Span<const T>
view(const py::array_t<T, py::array::c_style | py::array::forcecast>& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

template <typename T> cellcore::Span<T> view_mut(py::array_t<T>& a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

/// A new 1-D numpy array holding a copy of v.
template <typename T> py::array_t<T> to_numpy(const std::vector<T>& v) {
    py::array_t<T> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

} // namespace bridge
