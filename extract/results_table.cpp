#include "extract/stages.hpp"
namespace cellfit { void build_results_table(const Workspace&) {} }
