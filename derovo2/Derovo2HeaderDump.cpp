// Dump of an outgoing data set's header to the trace, field by field, so that
// what the next stage receives can be followed in the log.
//
// Fields are read into one scratch value per type that is not reset between
// fields, as the host leaves a value untouched when a field is missing: a
// missing int, double or text field shows the value of the previous field of
// its type, or 0, 0 and an empty text before the first one. A missing list
// shows the markers 111111 222222 333333 set before it (only the first two
// before "PosVec"), a missing file-name suffix "NOTHING SAVED".
#include <string>
#include <vector>

#include "Derovo2.h"
#include "Derovo2Trace.h"

namespace {

const char* const kFn = "print_MiniHeader";

// "==>  " and the name with its colon, padded to 33 characters.
std::string label(const char* name) {
    std::string s = std::string("==>  ") + name + ":";
    if (s.size() < 33) s.append(33 - s.size(), ' ');
    return s;
}

enum class Kind { Int, Double, Text };

struct FieldLine {
    const char* name;
    Kind kind;
};

const FieldLine kScalarFields[] = {
    {"AcquisitionNumber", Kind::Int},        {"AcquisitionTime", Kind::Text},
    {"AcquisitionDate", Kind::Text},         {"CoilString", Kind::Text},
    {"ImageComment", Kind::Text},            {"Actual3DImaPartNumber", Kind::Int},
    {"EchoColumnPosition", Kind::Int},       {"EchoLinePosition", Kind::Int},
    {"EchoNumber", Kind::Int},               {"EchoPartitionPosition", Kind::Int},
    {"EchoTrainLength", Kind::Int},          {"mainOrientation", Kind::Int},
    {"NoOfAverages", Kind::Int},             {"NoOfCols", Kind::Int},
    {"NoOfPhaseEncodingSteps", Kind::Int},   {"NoOfRows", Kind::Int},
    {"NumberInSeries", Kind::Int},           {"PercentPhaseFoV", Kind::Double},
    {"PercentSampling", Kind::Double},       {"ProtocolSliceNumber", Kind::Int},
    {"RealDwellTime", Kind::Int},            {"SequenceMask", Kind::Int},
    {"SliceLocation", Kind::Double},         {"SliceMeasurementDuration", Kind::Double},
    {"SliceThickness", Kind::Double},        {"TE", Kind::Double},
    {"TI", Kind::Double},                    {"TR", Kind::Double},
    {"TriggerTime", Kind::Double},           {"UsedChannelMask", Kind::Int},
};

}  // namespace

void Derovo2::print_MiniHeader(MrPtr<MiniHeader> pMiniHeader) {
    D2_NOTICE(kFn) << "\n" << std::string(34, '&') << "  Derovo2  " << std::string(35, '&');
    D2_NOTICE(kFn) << "\n MiniHeader";
    D2_NOTICE(kFn) << std::string(12, '=');

    const MiniHeader* h = pMiniHeader.get();
    int intValue = 0;
    double doubleValue = 0.0;
    std::string text;
    for (const FieldLine& f : kScalarFields) {
        switch (f.kind) {
            case Kind::Int:
                if (h) h->get(f.name, intValue, false);
                D2_NOTICE(kFn) << label(f.name) << intValue;
                break;
            case Kind::Double:
                if (h) h->get(f.name, doubleValue, false);
                D2_NOTICE(kFn) << label(f.name) << doubleValue;
                break;
            default:
                if (h) h->get(f.name, text, false);
                D2_NOTICE(kFn) << label(f.name) << text;
                break;
        }
    }

    std::vector<double> list(3, 0.0);
    auto markers = [&list](size_t count) {
        if (list.size() < count) list.resize(count, 0.0);
        const double marker[3] = {111111.0, 222222.0, 333333.0};
        for (size_t i = 0; i < count; ++i) list[i] = marker[i];
    };
    auto printList = [&](const char* name) {
        if (h) h->getArrayValues(name, list, false);
        D2_NOTICE(kFn) << label(name) << list;
    };
    printList("ColVec");
    markers(3);
    printList("PixelSpacing");
    markers(2);
    printList("PosVec");
    markers(3);
    printList("PosVecSBCS");
    markers(3);
    printList("RowVec");

    std::string suffix = "NOTHING SAVED";
    if (h) h->get("Suffix4DataFileName", suffix, false);
    D2_NOTICE(kFn) << label("Suffix4DataFileName") << suffix;

    D2_NOTICE(kFn) << std::string(85, '&') << "\n";
}
