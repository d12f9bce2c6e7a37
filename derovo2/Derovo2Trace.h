// Trace helpers of the spectroscopy module: channel "DUV.Derovo2", group
// "MrServers", component "Derovo2".
#pragma once

#include <ios>

#include "duvhost/Framework.h"

#define DEROVO2_CHANNEL "DUV.Derovo2"

// Usage: D2_TRACE(duvtrace::Notice, "insert") << "text" << value;
// The stream is only built when a sink wants the record.
#define D2_TRACE(level, function)                                                                     \
    if (!wouldTrace(DEROVO2_CHANNEL, (level), 1)) {                                                   \
    } else                                                                                            \
        getStdStackTraceStream(DEROVO2_CHANNEL, (level), 1, "MrServers", "Derovo2", __FILE__, __LINE__, \
                               (function), "DLL", false)

#define D2_NOTICE(function) D2_TRACE(duvtrace::Notice, function)
#define D2_ERROR(function) D2_TRACE(duvtrace::Error, function)

// Appends " status = 0x<hex>" and switches the stream back to decimal.
struct D2Status {
    DuvStatus status;
};
inline std::ostream& operator<<(std::ostream& os, D2Status s) {
    return os << " status = 0x" << std::hex << s.status << std::dec;
}
