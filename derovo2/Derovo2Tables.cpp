// Module-wide working tables of the spectroscopy module (see Derovo2Tables.h).
// Static storage: zero when the library is loaded.
#include "Derovo2Tables.h"

long global_online_counter = 0;
double time_span[kDerovo2RepTableSize] = {};
float timeStamp[kDerovo2RepTableSize] = {};
float time_ms_Stamp[kDerovo2RepTableSize] = {};
float dateStamp[kDerovo2RepTableSize] = {};
float goc_per_rep[kDerovo2RepTableSize] = {};
float csiAverages[kDerovo2CsiAveragesSize] = {};
