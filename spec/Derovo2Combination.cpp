// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

void Derovo2::scale(double, bool, bool) {}
bool Derovo2::add_coil_arrays(bool, bool, bool, bool) { return false; }
