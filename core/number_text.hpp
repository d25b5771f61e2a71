// Number texts of the battery model file. Everything the model writers print must read
// exactly as the interpreter prints it, so a model file written here is byte-identical
// to one written by the Python tools that read and compare these files.
#pragma once

#include <string>

namespace cellcore {

/// The interpreter's repr() of a float: shortest round-trip digits, plain notation with
/// ".0" on whole numbers for 1e-4 <= |x| < 1e16 and zero, otherwise exponent notation
/// with at least two exponent digits ("1e-05", "1e+16"); "nan", "inf", "-inf".
std::string float_repr(double x);

/// x with `decimals` digits after the point, correctly rounded, as "{:.{}f}".format(x,
/// decimals) gives it. decimals >= 0.
std::string fixed_text(double x, int decimals);

/// The model file's text of a float: its repr, except that a repr in exponent notation
/// is replaced by a fixed-point text with about three significant digits, so that no
/// exponent reaches the file (1e-05 -> "0.00001000", 1e+16 -> "10000000000000000.0" +
/// 19 zeros). Non-finite values keep their repr.
std::string model_number_text(double x);

} // namespace cellcore
