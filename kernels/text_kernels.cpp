#include "kernels/kernels.hpp"

void register_text_kernels(pybind11::module_&) {}
