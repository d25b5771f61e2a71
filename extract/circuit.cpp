#include "extract/stages.hpp"
namespace cellfit {
void register_lsim2(py::module_&) {}
void bind_circuit_models(const Workspace&) {}
}
