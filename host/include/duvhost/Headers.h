// Scan header, scan and image controls, the image header (MiniHeader) and
// the host's send operations.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <variant>
#include <vector>

#include "duvhost/DuvObj.h"
#include "duvhost/Rudu.h"
#include "duvhost/XProtocol.h"

class IFunctor;
class IRuduEnvironment;

// ---------------------------------------------------------------------------
// The 192-byte scan header of one readout (little-endian, packed).
// ---------------------------------------------------------------------------
#pragma pack(push, 1)
struct sLoopCounter {
    uint16_t ushLine;
    uint16_t ushAcquisition;
    uint16_t ushSlice;
    uint16_t ushPartition;
    uint16_t ushEcho;
    uint16_t ushPhase;
    uint16_t ushRepetition;
    uint16_t ushSet;
    uint16_t ushSeg;
    uint16_t ushIda;
    uint16_t ushIdb;
    uint16_t ushIdc;
    uint16_t ushIdd;
    uint16_t ushIde;
};

struct sCutOffData {
    uint16_t ushPre;
    uint16_t ushPost;
};

struct sSliceGeometry {
    float flSag, flCor, flTra;  // slice position, mm
    float aflQuaternion[4];
};

struct sScanHeader {
    uint32_t ulFlagsAndDMALength;       //   0
    int32_t lMeasUID;                   //   4
    uint32_t ulScanCounter;             //   8
    uint32_t ulTimeStamp;               //  12  ticks of 2.5 ms since midnight
    uint32_t ulPMUTimeStamp;            //  16
    uint16_t ushSystemType;             //  20
    uint16_t ushPTABPosDelay;           //  22
    int32_t lPTABPosX;                  //  24
    int32_t lPTABPosY;                  //  28
    int32_t lPTABPosZ;                  //  32
    uint32_t ulReserved1;               //  36
    uint32_t aulEvalInfoMask[2];        //  40  64-bit evaluation-info mask, low word first
    uint16_t ushSamplesInScan;          //  48
    uint16_t ushUsedChannels;           //  50
    sLoopCounter sLC;                   //  52  (28 bytes)
    sCutOffData sCutOff;                //  80
    uint16_t ushKSpaceCentreColumn;     //  84
    uint16_t ushCoilSelect;             //  86
    float fReadOutOffcentre;            //  88
    uint32_t ulTimeSinceLastRF;         //  92
    uint16_t ushKSpaceCentreLineNo;     //  96
    uint16_t ushKSpaceCentrePartitionNo;//  98
    sSliceGeometry sSliceData;            // 100  (28 bytes)
    uint16_t aushDuvProgramPara[24];    // 128  [4] samples before the echo top, [5] reference-scan flag
    uint16_t aushReservedPara[4];       // 176
    uint16_t ushApplicationCounter;     // 184
    uint16_t ushApplicationMask;        // 186
    uint32_t ulCRC;                     // 188
};
#pragma pack(pop)
static_assert(sizeof(sScanHeader) == 192, "the scan header is 192 bytes");

// Evaluation-info flags (bits of the 64-bit mask).
constexpr uint64_t MDH_ACQEND = 1ULL << 0;
constexpr uint64_t MDH_RTFEEDBACK = 1ULL << 1;
constexpr uint64_t MDH_ONLINE = 1ULL << 3;
constexpr uint64_t MDH_REFLECT = 1ULL << 24;
constexpr uint64_t MDH_PHASCOR = 1ULL << 21;       // internal water reference
constexpr uint64_t MDH_NOISEADJSCAN = 1ULL << 25;  // internal noise reference

class MdhProxy {
public:
    MdhProxy();                          // owns a zeroed header
    explicit MdhProxy(sScanHeader* h);   // views a header owned elsewhere
    MdhProxy(const MdhProxy& o);         // copies the header (the copy owns it)
    MdhProxy& operator=(const MdhProxy& o);

    sScanHeader& header() { return *h_; }
    const sScanHeader& header() const { return *h_; }
    sScanHeader* operator->() { return h_; }
    const sScanHeader* operator->() const { return h_; }

    uint64_t getEvalInfoMask() const;
    void setEvalInfoMask(uint64_t mask);
    // Set when mask & flag == flag.
    bool isFlagSet(uint64_t flag) const { return (getEvalInfoMask() & flag) == flag; }

private:
    sScanHeader own_{};
    sScanHeader* h_;
};

// Per-scan control of the host. The slice count that a scan stage reads at
// its first call is lSlices.
struct ScanControl {
    int32_t lSlices = 1;          // slices of the measurement
    int32_t lScanIndex = 0;       // running number of the scan in the job
    bool bLastScanInMeas = false;
};

// Per-image control: counts and current indices per dimension, and a column count.
class ImageControl {
public:
    ImageControl();
    long getCount(DuvDim d) const { return count_[d]; }
    void setCount(DuvDim d, long n) { count_[d] = n; }
    long getIndex(DuvDim d) const { return index_[d]; }
    void setIndex(DuvDim d, long i) { index_[d] = i; }
    long getColumns() const { return columns_; }
    void setColumns(long n) { columns_ = n; }

private:
    std::array<long, DUV_DIM_COUNT> count_;
    std::array<long, DUV_DIM_COUNT> index_;
    long columns_ = 0;
};
std::ostream& operator<<(std::ostream& os, const ImageControl& ctrl);

// ---------------------------------------------------------------------------
// MiniHeader: typed fields (int, bool, double, text, list of doubles) in the
// order of their first set, and a protocol tree (the graphics overlay lives
// there). set() refuses to change a field's type; get() refuses a missing
// field or another type and then leaves the output untouched. Integer fields
// hold 64 bits on every platform: set and get of int, long and long long are
// distinct overloads (long is 32 bits on Windows), and a get into a type that
// cannot hold the value refuses rather than wraps.
// ---------------------------------------------------------------------------
class MiniHeader : public Rudu::RefCounted {
public:
    enum FieldType { Int, Bool, Double, Text, Array };
    struct Field {
        std::string name;
        FieldType type;
        std::variant<std::int64_t, bool, double, std::string, std::vector<double>> value;
        bool flag;
    };

    MiniHeader();
    ~MiniHeader() override;

    bool set(const std::string& name, int value, bool flag = false);
    bool set(const std::string& name, long value, bool flag = false);
    bool set(const std::string& name, long long value, bool flag = false);
    bool set(const std::string& name, bool value, bool flag = false);
    bool set(const std::string& name, double value, bool flag = false);
    bool set(const std::string& name, const std::string& value, bool flag = false);
    bool set(const std::string& name, const char* value, bool flag = false);
    bool setArrayValues(const std::string& name, const std::vector<double>& values, bool flag = false);

    bool get(const std::string& name, int& value, bool flag = false) const;
    bool get(const std::string& name, long& value, bool flag = false) const;
    bool get(const std::string& name, long long& value, bool flag = false) const;
    bool get(const std::string& name, bool& value, bool flag = false) const;
    bool get(const std::string& name, double& value, bool flag = false) const;
    bool get(const std::string& name, std::string& value, bool flag = false) const;
    bool getArrayValues(const std::string& name, std::vector<double>& values, bool flag = false) const;

    bool has(const std::string& name) const;
    const std::vector<Field>& fields() const { return fields_; }
    const Field* find(const std::string& name) const;

    MrPtr<MiniHeader> deepCopy() const;  // fields and protocol
    XProtocol& getProtocol() { return protocol_; }
    const XProtocol& getProtocol() const { return protocol_; }

    // Refuse further sets of one field name, or of every name with "*" (a host
    // may lock a header; tests use it to exercise refusals). Kept by deepCopy.
    void refuse(const std::string& name) { refused_.push_back(name); }
    // Process-wide refusals for headers that a caller cannot reach (those a
    // stage builds itself): every header refuses these names until cleared.
    static void refuseEverywhere(const std::string& name);
    static void clearRefusalsEverywhere();

private:
    bool put(const std::string& name, FieldType t, decltype(Field::value) v, bool flag);
    std::vector<Field> fields_;
    std::vector<std::string> refused_;
    XProtocol protocol_;
};
std::ostream& operator<<(std::ostream& os, const MiniHeader& h);
std::ostream& operator<<(std::ostream& os, const std::vector<double>& list);  // "a b c"
std::ostream& operator<<(std::ostream& os, const std::vector<int>& list);

// ---------------------------------------------------------------------------
// The environment a stage runs in: it receives what stages send and knows
// the series identifiers.
// ---------------------------------------------------------------------------
class IRuduEnvironment {
public:
    virtual ~IRuduEnvironment() = default;
    // A data set handed on with DuvUtils::send. The references are valid
    // during the call only.
    virtual DuvStatus Receive(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control) = 0;
    virtual DuvStatus SeriesInstanceUID(IFunctor* functor, const std::string& name, std::string& out) = 0;
};

namespace DuvUtils {
// Hands a data set to the environment's receiver. I_FAIL without an
// environment, for an invalid view or a null header.
DuvStatus send(DuvAs& data, MrPtr<MiniHeader>& header, ImageControl& control, IRuduEnvironment* env);
DuvStatus GetSeriesInstanceUID(IRuduEnvironment* env, IFunctor* functor, const std::string& name,
                                   std::string& out);
}  // namespace DuvUtils
