// End of job: turns the collected store into results. Spatial window and
// transform, scaling, coil combination, the spectra sent channel by channel,
// and in calibration runs the calibration values file.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "Derovo2.h"
#include "Derovo2Trace.h"
#include "duvhost/Installation.h"

namespace {

const char* const kFn = "endOfJob";
const char* const kSentOk = "\n==> Sending raw-data to data base finished ok";
const char* const kSentNotOk = "\n==> Sending raw-data to data base finished NOT ok";

// Calibration modes of m_iQOM_ArrayPlot that leave a value for the file.
const int kRefVoltageCalibration = 6;
const int kWaterSuppressionCalibration = 8;

// One entry of the calibration file: the line and an empty one.
void writeEntry(FILE* file, const char* format, ...) {
    char line[1000];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(file, "%s\n\n", line);
}

}  // namespace

DuvStatus Derovo2::endOfJob(DuvStatus status) {
    if (!m_raw || !m_raw->IsValid()) {
        D2_NOTICE(kFn) << "\n==>Object not created -> E.g. FirstCall not called";
        return I_OK;
    }
    const Derovo2StoreDims d = storeDims();

    // A stopped CSI measurement is kept only when whole averages were
    // completed in the mode that averages complete k-spaces.
    if (status != I_ACQ_END && d.isCsiGrid()) {
        if (!(m_iAveraging_Mode == 2 && m_iAcquired_averages >= 1)) {
            D2_NOTICE(kFn) << "\n==>dacqAborted == true in the case of a CSI experiment; NO data will be stored";
            return I_OK;
        }
        D2_NOTICE(kFn) << "\n==> (stopped/Aborted) csi-data will be stored";
    }

    csi_filter_fft_scale(131072.0, true, true);

    char uncombined[] = "_u";
    char combined[32] = "";
    const long ncha = d.cha;
    if (ncha <= 1) {
        _numberInSeries = _numberInSummedSeries = 0;
        if (!send(0, combined)) {
            D2_NOTICE(kFn) << kSentNotOk;
            return I_FAIL;
        }
        D2_NOTICE(kFn) << kSentOk;
    } else {
        D2_NOTICE(kFn) << "\n==> adding coil arrays (no prescan)";
        if (!add_coil_arrays(false, false, true, false)) {
            std::printf("\n never happen error: even add_coil_arrays() using no pre-scan return with error! ");
            std::fflush(stdout);
            return I_FAIL;
        }
        // The combined spectra sit in the last channel slot.
        const long combinedSlot = ncha - 1;
        std::snprintf(combined, sizeof combined, "_c_%ld", combinedSlot);
        _numberInSeries = _numberInSummedSeries = 0;
        if (ncha == 2) {
            if (!send(static_cast<unsigned long>(combinedSlot), combined)) {
                D2_NOTICE(kFn) << kSentNotOk;
                return I_FAIL;
            }
            D2_NOTICE(kFn) << kSentOk;
        } else {
            long nsend = ncha - 1;
            if (ncha > 100) {
                nsend = 99;
                D2_NOTICE(kFn) << "\n==> ncha > 12  ==> setze ncha auf 100";
            }
            if (m_bUncombImages)
                for (long c = 0; c < nsend; ++c) {
                    if (!send(static_cast<unsigned long>(c), uncombined)) {
                        D2_NOTICE(kFn) << kSentNotOk;
                        return I_FAIL;
                    }
                    D2_NOTICE(kFn) << kSentOk;
                }
            // Also with more than 100 channels the combined series comes from
            // the last slot, where the combination put it.
            if (!send(static_cast<unsigned long>(combinedSlot), combined)) {
                D2_NOTICE(kFn) << "==> Sending raw-data to data base finished NOT ok";
                return I_FAIL;
            }
            D2_NOTICE(kFn) << "==> Sending raw-data to data base finished ok";
        }
    }

    if (m_iSpec_AutoCalib == 10 &&
        (m_iQOM_ArrayPlot == kRefVoltageCalibration || m_iQOM_ArrayPlot == kWaterSuppressionCalibration)) {
        const std::string path = DuvHost::SimulationDataDirectory() + "zorp_calibs.ini";
        const bool refVoltage = m_iQOM_ArrayPlot == kRefVoltageCalibration;
        // The reference-voltage run starts the file; the water-suppression
        // run that follows it appends its value.
        if (FILE* file = std::fopen(path.c_str(), refVoltage ? "wt" : "at")) {
            if (refVoltage) {
                writeEntry(file, "%s", "[CalibValues]");
                writeEntry(file, "refV = %.1f", static_cast<double>(myDeterminedRefVal));
                D2_NOTICE(kFn) << " Succesfully written to file: Determined refV " << myDeterminedRefVal;
            } else {
                writeEntry(file, "vaporFA = %1d ", static_cast<int>(myVaporFAVal));
                D2_NOTICE(kFn) << " Succesfully written to file: Determined  vaporFA " << myVaporFAVal;
            }
            std::fclose(file);
        }
    }

    D2_NOTICE(kFn) << "========================kivstop=============== ";
    D2_NOTICE(kFn) << "Derovo2::endOfJob: return I_OK!";
    D2_NOTICE(kFn) << "======================================= ";
    return I_OK;
}
