// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

void Derovo2::csi_filter() {}
void Derovo2::csi_fft() {}
void Derovo2::mirror_csi_dim(long, unsigned long, unsigned long, unsigned long, unsigned long, double*, double*, double*) {}
void Derovo2::swap_csi_dims(unsigned long, unsigned long, unsigned long, unsigned long, double*, double*, double*, double*, double*, unsigned long*, double*, double*, double*, double*, double*, unsigned long*) {}
