// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

void Derovo2::compute_graph(float, float, float, float, float*, long, long, float, float, MrPoint*, MrPoint*, MrPoint*, float, MrPoint*, float, MrPoint*, float) {}
void Derovo2::complex2magn_data(float*, float*, long, long*, float*, unsigned char, long, long) {}
void Derovo2::feed_online_display(float*, float*, float*, float*, float*, long, long, long, long, long, long, long, long, long) {}
void Derovo2::feed_online_display_trace(float*, long, long, long, long, long, long) {}
