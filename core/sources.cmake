# The numeric core's sources: one list for the library the modules link and for the
# C++ unit tests' own build of it (tests/cpp). Paths are relative to the project root.
set(CELL_CORE_SOURCES
  core/lsim.cpp
  core/rc_circuit.cpp
  core/fit_uncertainty.cpp
  core/segmentation.cpp
  core/ocv_knots.cpp
  core/number_text.cpp
  core/model_json.cpp
  core/atomic_file.cpp
  core/record_rows.cpp
  core/jacobi_rotations.cpp
  core/engine/trust_region_step.cpp
  core/engine/least_squares.cpp
  core/clock_time.cpp
  core/engine/step_changes.cpp
  core/engine/test_parts.cpp
  core/engine/steps.cpp
  core/engine/hold_grid.cpp
  core/engine/ocv_curve.cpp
  core/engine/ocv_extension.cpp
  core/engine/step_window.cpp
  core/engine/pulse_window.cpp
  core/engine/pulse_fit.cpp
  core/engine/pulse_test.cpp
  core/pulse_table.cpp
  core/pulse_resistance.cpp
  core/strict_json.cpp
  core/engine/soc_tables.cpp
  core/engine/soc_tables_json.cpp
  core/engine/model_simulation.cpp)

# The static core library `name`, its sources under `root` (the project root).
function(cell_core_library name root)
  list(TRANSFORM CELL_CORE_SOURCES PREPEND "${root}/" OUTPUT_VARIABLE sources)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${root})
endfunction()
