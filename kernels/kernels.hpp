// Registration functions of the _cellkernels test and benchmark module, one per kernel
// file.
#pragma once

#include <pybind11/pybind11.h>

#include "core/errors.hpp"

void register_lsim_kernels(pybind11::module_& m);
void register_text_kernels(pybind11::module_& m);
void register_segmentation_kernels(pybind11::module_& m);
void register_rc_circuit_kernels(pybind11::module_& m);
void register_table_kernels(pybind11::module_& m);
void register_least_squares_kernels(pybind11::module_& m);
