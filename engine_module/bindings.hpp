// Registration functions of the cellkit._engine module, one per binding file.
#pragma once

#include <pybind11/pybind11.h>

#include "core/errors.hpp"

void register_record_rows(pybind11::module_& m);
void register_pulse_test(pybind11::module_& m);
void register_model_simulation(pybind11::module_& m);
void register_record_reader(pybind11::module_& m);
void register_circuit_parameters(pybind11::module_& m);
