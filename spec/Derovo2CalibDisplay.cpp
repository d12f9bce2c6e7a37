// Placeholder until this concern is built: bodies do nothing.
#include "Derovo2.h"

void Derovo2::feed_online_display_calib(float*, long, long, long, long, long, long) {}
