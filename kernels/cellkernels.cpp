// _cellkernels: the native kernels one-to-one, for tests and benchmarks only.
#include "kernels/kernels.hpp"

PYBIND11_MODULE(_cellkernels, m) {
    m.doc() = "Native kernels of cellfit/cellgen, exposed for tests and benchmarks.";
    register_lsim_kernels(m);
    register_text_kernels(m);
    register_segmentation_kernels(m);
    register_rc_circuit_kernels(m);
    register_table_kernels(m);
    register_least_squares_kernels(m);
}
