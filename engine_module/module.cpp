// cellkit._engine: the pulse-test engine of core/engine, bound thinly for the cellkit
// package. Each binding file registers its functions here.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "engine_module/bindings.hpp"

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Native pulse-test engine behind the cellkit package.";
    m.attr("__version__") = CELL_VERSION;
    bridge::translate_core_errors();
    register_record_rows(m);
    register_pulse_test(m);
    register_model_simulation(m);
    register_record_reader(m);
    register_circuit_parameters(m);
}
