// Status values, the last-error record and the trace facility of the host.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

class IRuduEnvironment;

// ---------------------------------------------------------------------------
// Status: 64-bit codes on every platform (long has only 32 bits on Windows).
// Both bits 0xC0000000 set = failure; only one of them = warning or
// information.
// ---------------------------------------------------------------------------
using DuvStatus = std::uint64_t;
constexpr DuvStatus I_OK = 0x0;
constexpr DuvStatus I_FAIL = 0xC0000001;
constexpr DuvStatus I_ACQ_END = 0x20004;
constexpr DuvStatus I_MULTIPLE_FAILURES = 0xC002000E;
constexpr DuvStatus I_STATUS_FAILURE_BITS = 0xC0000000;

inline bool DuvIsFailure(DuvStatus status) {
    return (status & I_STATUS_FAILURE_BITS) == I_STATUS_FAILURE_BITS;
}
// Neither failure bit set: the operation may continue normally.
inline bool DuvIsPlainSuccess(DuvStatus status) { return (status & I_STATUS_FAILURE_BITS) == 0; }

namespace DuvFramework {
// Records a failure so that the host (or a test) can read it after the call.
// Process-wide; the latest call wins.
void SetLastError(DuvStatus status, IRuduEnvironment* env);
DuvStatus GetLastError();       // 0 when nothing was recorded since ClearLastError
unsigned long GetLastErrorCount();  // number of SetLastError calls since ClearLastError
void ClearLastError();
}  // namespace DuvFramework

// ---------------------------------------------------------------------------
// Trace facility. A stream obtained from getStdStackTraceStream collects text;
// when it is destroyed (closed) it hands one record to every sink that wants
// its channel and level.
// ---------------------------------------------------------------------------
namespace duvtrace {

enum Level : int { Debug = 1, Info = 2, Notice = 3, Warning = 4, Error = 5, Fatal = 6 };

struct TraceRecord {
    int level = 0;
    std::string channel;
    std::string group;
    std::string component;
    std::string file;
    long line = 0;
    std::string function;
    std::string dll;
    std::string text;
};

class TraceSink {
public:
    virtual ~TraceSink() = default;
    virtual bool wants(const std::string& channel, int level) const = 0;
    virtual void write(const TraceRecord& record) = 0;
};

// Keeps every record; tests assert exact messages through it.
class MemoryTraceSink : public TraceSink {
public:
    bool wants(const std::string&, int) const override { return true; }
    void write(const TraceRecord& record) override;

    std::vector<TraceRecord> records() const;
    void clear();
    // Records matching every given criterion; an empty channel/function or a
    // level of 0 matches anything.
    std::vector<TraceRecord> find(const std::string& channel, int level, const std::string& function,
                                  const std::string& text) const;
    bool contains(const std::string& text) const;       // some record's text equals text
    bool containsSubstring(const std::string& part) const;
    size_t count(const std::string& text) const;        // records whose text equals text
    std::vector<std::string> texts() const;             // all texts in order

private:
    mutable std::mutex mutex_;
    std::vector<TraceRecord> records_;
};

// Standard error, records at or above a level.
class StderrTraceSink : public TraceSink {
public:
    explicit StderrTraceSink(int minLevel = Error) : minLevel_(minLevel) {}
    bool wants(const std::string&, int level) const override { return level >= minLevel_; }
    void write(const TraceRecord& record) override;

protected:
    // Where a formatted record (one line, line feed included) goes: standard
    // error. A host that redirects standard error sends it elsewhere.
    virtual void put(const std::string& line);

private:
    int minLevel_;
};

// A log file with one line per record (text line feeds escaped as \n).
class FileTraceSink : public TraceSink {
public:
    explicit FileTraceSink(const std::string& path, int minLevel = Debug);
    ~FileTraceSink() override;
    // False when the file could not be opened or a record could not be
    // written completely (a full disk): the log is then incomplete.
    bool ok() const;
    // Closes the file; ok() afterwards also says whether the close succeeded.
    void close();
    bool wants(const std::string&, int level) const override { return level >= minLevel_; }
    void write(const TraceRecord& record) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int minLevel_;
};

// The sink list. At start it holds one StderrTraceSink(Error).
void addSink(std::shared_ptr<TraceSink> sink);
void removeSink(const std::shared_ptr<TraceSink>& sink);
void clearSinks();
void emit(const TraceRecord& record);
bool anySinkWants(const std::string& channel, int level);

// Installs a memory sink for the lifetime of the object (tests).
class ScopedMemorySink {
public:
    ScopedMemorySink();
    ~ScopedMemorySink();
    MemoryTraceSink& operator*() { return *sink_; }
    MemoryTraceSink* operator->() { return sink_.get(); }

private:
    std::shared_ptr<MemoryTraceSink> sink_;
};

}  // namespace duvtrace

namespace detail {
struct TraceBufHolder {
    std::stringbuf buf;
};
}  // namespace detail

// The stream handed out by getStdStackTraceStream. It cannot be copied or
// moved; it is returned as a prvalue and used as a temporary or bound to a
// reference. The record is emitted when the stream is destroyed.
class DuvTraceStream : private detail::TraceBufHolder, public std::ostream {
public:
    DuvTraceStream(duvtrace::TraceRecord header, bool active);
    ~DuvTraceStream() override;
    DuvTraceStream(const DuvTraceStream&) = delete;
    DuvTraceStream& operator=(const DuvTraceStream&) = delete;

private:
    duvtrace::TraceRecord record_;
    bool active_;
};

// True when some sink wants records of this channel and level. The third
// argument is the host's verbosity selector; the modules pass 1.
bool wouldTrace(const char* channel, int level, int verbosity);

DuvTraceStream getStdStackTraceStream(const char* channel, int level, int verbosity, const char* group,
                                      const char* component, const char* sourceFile, long line,
                                      const char* function, const char* dll, bool flag);
