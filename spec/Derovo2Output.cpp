// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

bool Derovo2::send(unsigned long, char*) { return false; }
MrMath::MainOrientation fGSLClassOri(double, double, double) { return MrMath::ORIENTATION_UNDEFINED; }
bool fGSLCalcPRS(double*, double*, double, double, double, double) { return false; }
