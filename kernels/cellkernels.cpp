// _cellkernels: the native kernels one-to-one, for tests and benchmarks only.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_cellkernels, m) {
    m.doc() = "Native kernels of cellfit/cellgen, exposed for tests and benchmarks.";
}
