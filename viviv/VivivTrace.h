// Trace helpers of the NIfTI export module: channel "DUV.Viviv", group
// "MrSpecAcq", component "Viviv". The source name is the part of the module
// a record comes from ("VivivConfigurator", "qomNiftiWriter", "mkpath").
#pragma once

#include <ios>
#include <ostream>

#include "duvhost/Framework.h"

#define VIVIV_CHANNEL "DUV.Viviv"

// Usage: VIVIV_TRACE(duvtrace::Notice, "qomNiftiWriter", "qomNiftiWriter::EndInit(env)") << "text";
// The stream is only built when a sink wants the record.
#define VIVIV_TRACE(level, source, function)                                                                 \
    if (!wouldTrace(VIVIV_CHANNEL, (level), 1)) {                                                            \
    } else                                                                                                   \
        getStdStackTraceStream(VIVIV_CHANNEL, (level), 1, "MrSpecAcq", "Viviv", (source), __LINE__, (function), \
                               "DLL", false)

#define VIVIV_NOTICE(source, function) VIVIV_TRACE(duvtrace::Notice, source, function)
#define VIVIV_ERROR(source, function) VIVIV_TRACE(duvtrace::Error, source, function)

// A Notice trace written only when `enabled` holds (the writer's DebugLogging).
#define VIVIV_DEBUG(enabled, source, function)                                                                \
    if (!(enabled) || !wouldTrace(VIVIV_CHANNEL, duvtrace::Notice, 1)) {                                       \
    } else                                                                                                    \
        getStdStackTraceStream(VIVIV_CHANNEL, duvtrace::Notice, 1, "MrSpecAcq", "Viviv", (source), __LINE__,    \
                               (function), "DLL", false)

// Appends " status = 0x<hex>" (lowercase, no leading zeros) and switches the
// stream back to decimal.
struct VivivStatus {
    DuvStatus status;
};
inline std::ostream& operator<<(std::ostream& os, VivivStatus s) {
    return os << " status = 0x" << std::hex << s.status << std::dec;
}
