// Module-wide working tables of the spectroscopy module: one copy per loaded
// library, shared by every Derovo2 instance in the process (so at most one
// job runs at a time). Written by scan insertion, read by the display and by
// end of job. Defined in Derovo2Tables.cpp.
#pragma once

constexpr long kDerovo2RepTableSize = 512;      // per-repetition tables
constexpr long kDerovo2CsiAveragesSize = 32768; // per phase-encoding point

extern long global_online_counter;
extern double time_span[kDerovo2RepTableSize];
extern float timeStamp[kDerovo2RepTableSize];
extern float time_ms_Stamp[kDerovo2RepTableSize];
extern float dateStamp[kDerovo2RepTableSize];
extern float goc_per_rep[kDerovo2RepTableSize];
extern float csiAverages[kDerovo2CsiAveragesSize];
