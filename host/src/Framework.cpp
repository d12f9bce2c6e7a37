// The last-error record and the trace facility.
#include "duvhost/Framework.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "duvhost/Platform.h"

// ---------------------------------------------------------------------------
// Last error
// ---------------------------------------------------------------------------
namespace {

struct LastErrorRecord {
    std::mutex mutex;
    DuvStatus status = I_OK;
    unsigned long count = 0;
};

LastErrorRecord& lastError() {
    // Never destroyed: stages may record errors while the process shuts down.
    static LastErrorRecord* record = new LastErrorRecord;
    return *record;
}

}  // namespace

namespace DuvFramework {

void SetLastError(DuvStatus status, IRuduEnvironment* /*env*/) {
    LastErrorRecord& r = lastError();
    std::lock_guard<std::mutex> g(r.mutex);
    r.status = status;
    ++r.count;
}

DuvStatus GetLastError() {
    LastErrorRecord& r = lastError();
    std::lock_guard<std::mutex> g(r.mutex);
    return r.status;
}

unsigned long GetLastErrorCount() {
    LastErrorRecord& r = lastError();
    std::lock_guard<std::mutex> g(r.mutex);
    return r.count;
}

void ClearLastError() {
    LastErrorRecord& r = lastError();
    std::lock_guard<std::mutex> g(r.mutex);
    r.status = I_OK;
    r.count = 0;
}

}  // namespace DuvFramework

// ---------------------------------------------------------------------------
// Sinks
// ---------------------------------------------------------------------------
namespace duvtrace {

namespace {

struct SinkRegistry {
    std::mutex mutex;
    std::vector<std::shared_ptr<TraceSink>> sinks{std::make_shared<StderrTraceSink>(Error)};
};

SinkRegistry& registry() {
    // Never destroyed: destructors of static objects (module objects, stages
    // held until exit) may still trace.
    static SinkRegistry* r = new SinkRegistry;
    return *r;
}

std::vector<std::shared_ptr<TraceSink>> snapshot() {
    SinkRegistry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    return r.sinks;
}

const char* levelName(int level) {
    switch (level) {
        case Debug: return "Debug";
        case Info: return "Info";
        case Notice: return "Notice";
        case Warning: return "Warning";
        case Error: return "Error";
        case Fatal: return "Fatal";
        default: return "Level";
    }
}

std::string levelLabel(int level) {
    std::string s = levelName(level);
    if (level < Debug || level > Fatal) s += std::to_string(level);
    return s;
}

}  // namespace

void addSink(std::shared_ptr<TraceSink> sink) {
    if (!sink) return;
    SinkRegistry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.sinks.push_back(std::move(sink));
}

void removeSink(const std::shared_ptr<TraceSink>& sink) {
    SinkRegistry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.sinks.erase(std::remove(r.sinks.begin(), r.sinks.end(), sink), r.sinks.end());
}

void clearSinks() {
    SinkRegistry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    r.sinks.clear();
}

// Sinks are called outside the registry lock so that a sink may trace or
// change the sink list without deadlocking; the snapshot keeps removed sinks
// alive until their write returns.
void emit(const TraceRecord& record) {
    for (const auto& s : snapshot()) {
        if (s->wants(record.channel, record.level)) s->write(record);
    }
}

// wants() is a cheap filter that never traces, so it runs under the lock
// (no copy of the list for every trace statement).
bool anySinkWants(const std::string& channel, int level) {
    SinkRegistry& r = registry();
    std::lock_guard<std::mutex> g(r.mutex);
    for (const auto& s : r.sinks) {
        if (s->wants(channel, level)) return true;
    }
    return false;
}

// --- MemoryTraceSink --------------------------------------------------------

void MemoryTraceSink::write(const TraceRecord& record) {
    std::lock_guard<std::mutex> g(mutex_);
    records_.push_back(record);
}

std::vector<TraceRecord> MemoryTraceSink::records() const {
    std::lock_guard<std::mutex> g(mutex_);
    return records_;
}

void MemoryTraceSink::clear() {
    std::lock_guard<std::mutex> g(mutex_);
    records_.clear();
}

// An empty text is a wildcard like an empty channel or function.
std::vector<TraceRecord> MemoryTraceSink::find(const std::string& channel, int level, const std::string& function,
                                               const std::string& text) const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<TraceRecord> out;
    for (const auto& r : records_) {
        if (!channel.empty() && r.channel != channel) continue;
        if (level != 0 && r.level != level) continue;
        if (!function.empty() && r.function != function) continue;
        if (!text.empty() && r.text != text) continue;
        out.push_back(r);
    }
    return out;
}

bool MemoryTraceSink::contains(const std::string& text) const { return count(text) > 0; }

bool MemoryTraceSink::containsSubstring(const std::string& part) const {
    std::lock_guard<std::mutex> g(mutex_);
    return std::any_of(records_.begin(), records_.end(),
                       [&](const TraceRecord& r) { return r.text.find(part) != std::string::npos; });
}

size_t MemoryTraceSink::count(const std::string& text) const {
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<size_t>(
        std::count_if(records_.begin(), records_.end(), [&](const TraceRecord& r) { return r.text == text; }));
}

std::vector<std::string> MemoryTraceSink::texts() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (const auto& r : records_) out.push_back(r.text);
    return out;
}

// --- StderrTraceSink --------------------------------------------------------

// "[Error] DUV.Derovo2 Compose (Derovo2Configurator.cpp:42): text", one
// fwrite per record so that records of concurrent threads do not interleave.
void StderrTraceSink::write(const TraceRecord& record) {
    std::string line = "[" + levelLabel(record.level) + "] " + record.channel;
    if (!record.function.empty()) line += " " + record.function;
    if (!record.file.empty()) {
        const auto slash = record.file.find_last_of("/\\");
        line += " (" + (slash == std::string::npos ? record.file : record.file.substr(slash + 1)) + ":" +
                std::to_string(record.line) + ")";
    }
    line += ": " + record.text;
    if (line.empty() || line.back() != '\n') line += '\n';
    put(line);
}

void StderrTraceSink::put(const std::string& line) { std::fwrite(line.data(), 1, line.size(), stderr); }

// --- FileTraceSink ----------------------------------------------------------

struct FileTraceSink::Impl {
    mutable std::mutex mutex;
    std::FILE* file = nullptr;
    bool opened = false;
    bool failed = false;
};

FileTraceSink::FileTraceSink(const std::string& path, int minLevel) : impl_(new Impl), minLevel_(minLevel) {
    impl_->file = std::fopen(path.c_str(), "w");
    impl_->opened = impl_->file != nullptr;
}

FileTraceSink::~FileTraceSink() { close(); }

bool FileTraceSink::ok() const {
    std::lock_guard<std::mutex> g(impl_->mutex);
    return impl_->opened && !impl_->failed;
}

void FileTraceSink::close() {
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (impl_->file && std::fclose(impl_->file) != 0) impl_->failed = true;
    impl_->file = nullptr;
}

namespace {

// Fields are tab-separated, so tabs and line breaks in them are escaped; the
// backslash is escaped too so that a reader can undo the escaping exactly.
std::string escapeField(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out;
}

std::string timestamp() {
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count();
    std::tm tmv{};
    DuvPlatform::LocalTime(ms / 1000, tmv);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(ms % 1000));
    return buf;
}

}  // namespace

// One line per record:
// time TAB level TAB channel TAB group TAB component TAB file:line TAB function TAB text
void FileTraceSink::write(const TraceRecord& record) {
    std::string line = timestamp() + "\t" + levelLabel(record.level) + "\t" + escapeField(record.channel) + "\t" +
                       escapeField(record.group) + "\t" + escapeField(record.component) + "\t" +
                       escapeField(record.file) + ":" + std::to_string(record.line) + "\t" +
                       escapeField(record.function) + "\t" + escapeField(record.text) + "\n";
    std::lock_guard<std::mutex> g(impl_->mutex);
    if (!impl_->file) return;
    // Flushed per record: the log must show what happened before a crash.
    if (std::fwrite(line.data(), 1, line.size(), impl_->file) != line.size() || std::fflush(impl_->file) != 0)
        impl_->failed = true;
}

// --- ScopedMemorySink -------------------------------------------------------

ScopedMemorySink::ScopedMemorySink() : sink_(std::make_shared<MemoryTraceSink>()) { addSink(sink_); }

ScopedMemorySink::~ScopedMemorySink() { removeSink(sink_); }

}  // namespace duvtrace

// ---------------------------------------------------------------------------
// Streams
// ---------------------------------------------------------------------------
DuvTraceStream::DuvTraceStream(duvtrace::TraceRecord header, bool active)
    : std::ostream(&buf), record_(std::move(header)), active_(active) {}

DuvTraceStream::~DuvTraceStream() {
    if (!active_) return;
    try {
        record_.text = buf.str();
        duvtrace::emit(record_);
    } catch (...) {
        // A trace must never take the traced operation down.
    }
}

bool wouldTrace(const char* channel, int level, int /*verbosity*/) {
    return duvtrace::anySinkWants(channel ? channel : "", level);
}

DuvTraceStream getStdStackTraceStream(const char* channel, int level, int /*verbosity*/, const char* group,
                                      const char* component, const char* sourceFile, long line,
                                      const char* function, const char* dll, bool /*flag*/) {
    duvtrace::TraceRecord r;
    r.level = level;
    r.channel = channel ? channel : "";
    r.group = group ? group : "";
    r.component = component ? component : "";
    r.file = sourceFile ? sourceFile : "";
    r.line = line;
    r.function = function ? function : "";
    r.dll = dll ? dll : "";
    const bool active = duvtrace::anySinkWants(r.channel, level);
    return DuvTraceStream(std::move(r), active);
}
