// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

void Derovo2::print_MiniHeader(MrPtr<MiniHeader>) {}
