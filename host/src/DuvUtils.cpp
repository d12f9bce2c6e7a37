// The host's send operations: data sets to the environment, series identifiers.
#include "duvhost/Headers.h"

#define HOST_UTILS_TRACE(level, function) \
    getStdStackTraceStream("DUV.host", level, 1, "DUV", "duvhost", "DuvUtils", __LINE__, function, "DLL", false)

namespace DuvUtils {

DuvStatus send(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control, IRuduEnvironment* env) {
    const char* reason = nullptr;
    if (!env)
        reason = "no environment to send to";
    else if (!data.IsValid())
        reason = "the data view is not valid";
    else if (!header)
        reason = "the data set has no header";
    if (reason) {
        HOST_UTILS_TRACE(duvtrace::Error, "DuvUtils::send") << "DuvUtils::send: " << reason << " status = 0x"
                                                              << std::hex << I_FAIL;
        return I_FAIL;
    }
    return env->Receive(data, header, control);
}

DuvStatus GetSeriesInstanceUID(IRuduEnvironment* env, IFunctor* functor, const std::string& name,
                                   std::string& out) {
    if (!env) {
        HOST_UTILS_TRACE(duvtrace::Error, "DuvUtils::GetSeriesInstanceUID")
            << "DuvUtils::GetSeriesInstanceUID: no environment status = 0x" << std::hex << I_FAIL;
        return I_FAIL;
    }
    return env->SeriesInstanceUID(functor, name, out);
}

}  // namespace DuvUtils
