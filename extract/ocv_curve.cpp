#include "extract/stages.hpp"
namespace cellfit { void extract_ocv(const Workspace&) {} }
