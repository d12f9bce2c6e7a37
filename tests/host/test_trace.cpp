// Status helpers, the last-error record and the trace facility.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <type_traits>

#include "duvhost/Framework.h"
#include "duvhost/Functors.h"

namespace {

// Every test starts and ends with the sink list the process starts with.
class Trace : public ::testing::Test {
protected:
    void SetUp() override { restoreDefault(); }
    void TearDown() override { restoreDefault(); }
    static void restoreDefault() {
        duvtrace::clearSinks();
        duvtrace::addSink(std::make_shared<duvtrace::StderrTraceSink>(duvtrace::Error));
    }
};

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);) lines.push_back(l);
    return lines;
}

}  // namespace

TEST(Status, FailureNeedsBothTopBits) {
    EXPECT_TRUE(DuvIsFailure(I_FAIL));
    EXPECT_TRUE(DuvIsFailure(I_MULTIPLE_FAILURES));
    EXPECT_FALSE(DuvIsFailure(I_OK));
    EXPECT_FALSE(DuvIsFailure(I_ACQ_END));
    EXPECT_FALSE(DuvIsFailure(0x80000001UL));
    EXPECT_FALSE(DuvIsFailure(0x40000001UL));
    EXPECT_TRUE(DuvIsPlainSuccess(I_ACQ_END));
    EXPECT_FALSE(DuvIsPlainSuccess(0x40000001UL));
    EXPECT_FALSE(DuvIsPlainSuccess(I_FAIL));
}

// The status keeps 64 bits on the 32-bit Windows build too, through the
// last-error record and in the stage interfaces.
TEST(Status, SixtyFourBitCodeOnEveryPlatform) {
    static_assert(sizeof(DuvStatus) == 8, "status must be 64-bit");
    static_assert(std::is_same_v<decltype(&IEnd::endOfJob), DuvStatus (IEnd::*)(DuvStatus)>);
    static_assert(std::is_same_v<decltype(&IFunctor::EndInit), DuvStatus (IFunctor::*)(IRuduEnvironment*)>);
    const DuvStatus wide = 0x5C0000001ULL;
    DuvFramework::SetLastError(wide, nullptr);
    EXPECT_EQ(DuvFramework::GetLastError(), wide);
    EXPECT_TRUE(DuvIsFailure(wide));
    EXPECT_FALSE(DuvIsFailure(0x500000001ULL));
    DuvFramework::ClearLastError();
}

TEST(LastError, LatestWinsAndCountsUntilCleared) {
    DuvFramework::ClearLastError();
    EXPECT_EQ(DuvFramework::GetLastError(), 0u);
    EXPECT_EQ(DuvFramework::GetLastErrorCount(), 0u);
    DuvFramework::SetLastError(I_FAIL, nullptr);
    DuvFramework::SetLastError(I_MULTIPLE_FAILURES, nullptr);
    EXPECT_EQ(DuvFramework::GetLastError(), I_MULTIPLE_FAILURES);
    EXPECT_EQ(DuvFramework::GetLastErrorCount(), 2u);
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([] {
            for (int i = 0; i < 1000; ++i) DuvFramework::SetLastError(I_FAIL, nullptr);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(DuvFramework::GetLastErrorCount(), 4002u);
    EXPECT_EQ(DuvFramework::GetLastError(), I_FAIL);
    DuvFramework::ClearLastError();
    EXPECT_EQ(DuvFramework::GetLastError(), 0u);
    EXPECT_EQ(DuvFramework::GetLastErrorCount(), 0u);
}

TEST_F(Trace, StreamEmitsOneRecordWithEveryFieldWhenClosed) {
    duvtrace::clearSinks();
    duvtrace::ScopedMemorySink sink;
    {
        auto&& s = getStdStackTraceStream("DUV.Derovo2", duvtrace::Notice, 1, "MrServers", "Derovo2",
                                          "derovo2/Derovo2Lifecycle.cpp", 123, "FirstCall", "DLL", false);
        s << "\n==>bIsPreScanNormalize: " << 1 << "  ";
        EXPECT_TRUE(sink->records().empty());  // nothing before the stream closes
        s << std::hex << 255;
    }
    const auto records = sink->records();
    ASSERT_EQ(records.size(), 1u);
    const duvtrace::TraceRecord& r = records[0];
    EXPECT_EQ(r.level, duvtrace::Notice);
    EXPECT_EQ(r.channel, "DUV.Derovo2");
    EXPECT_EQ(r.group, "MrServers");
    EXPECT_EQ(r.component, "Derovo2");
    EXPECT_EQ(r.file, "derovo2/Derovo2Lifecycle.cpp");
    EXPECT_EQ(r.line, 123);
    EXPECT_EQ(r.function, "FirstCall");
    EXPECT_EQ(r.dll, "DLL");
    EXPECT_EQ(r.text, "\n==>bIsPreScanNormalize: 1  ff");

    // A temporary stream closes at the end of its statement.
    getStdStackTraceStream("DUV.Viviv", duvtrace::Error, 1, "MrSpecAcq", "Viviv", "f.cpp", 7, "Compose", "DLL",
                           false)
        << "failed" << " status = 0x" << std::hex << I_FAIL;
    ASSERT_EQ(sink->records().size(), 2u);
    EXPECT_EQ(sink->records()[1].text, "failed status = 0xc0000001");
    // Null texts are empty fields, not crashes.
    getStdStackTraceStream("DUV.x", duvtrace::Notice, 1, nullptr, nullptr, nullptr, 0, nullptr, nullptr, false)
        << "n";
    EXPECT_EQ(sink->records()[2].group, "");
    EXPECT_EQ(sink->records()[2].function, "");
}

TEST_F(Trace, MemorySinkFindsByChannelLevelFunctionAndText) {
    duvtrace::clearSinks();
    duvtrace::ScopedMemorySink sink;
    auto put = [](const char* ch, int lvl, const char* fn, const char* text) {
        getStdStackTraceStream(ch, lvl, 1, "g", "c", "f.cpp", 1, fn, "DLL", false) << text;
    };
    put("DUV.A", duvtrace::Notice, "f1", "one");
    put("DUV.A", duvtrace::Error, "f1", "two");
    put("DUV.B", duvtrace::Notice, "f2", "one");
    put("DUV.B", duvtrace::Notice, "f2", "one more");
    EXPECT_EQ(sink->find("DUV.A", 0, "", "").size(), 2u);
    EXPECT_EQ(sink->find("", duvtrace::Notice, "", "one").size(), 2u);
    EXPECT_EQ(sink->find("DUV.B", duvtrace::Notice, "f2", "one").size(), 1u);
    EXPECT_EQ(sink->find("DUV.A", duvtrace::Notice, "f1", "two").size(), 0u);
    EXPECT_EQ(sink->find("", duvtrace::Error, "f1", "").at(0).text, "two");
    EXPECT_TRUE(sink->contains("one"));
    EXPECT_FALSE(sink->contains("on"));  // exact, not a substring
    EXPECT_TRUE(sink->containsSubstring("e mo"));
    EXPECT_EQ(sink->count("one"), 2u);
    EXPECT_EQ(sink->texts(), (std::vector<std::string>{"one", "two", "one", "one more"}));
    sink->clear();
    EXPECT_TRUE(sink->records().empty());
}

TEST_F(Trace, WouldTraceFollowsTheSinks) {
    // Only the default standard-error sink: errors yes, notices no.
    EXPECT_TRUE(wouldTrace("DUV.Derovo2", duvtrace::Error, 1));
    EXPECT_FALSE(wouldTrace("DUV.Derovo2", duvtrace::Notice, 1));
    {
        duvtrace::ScopedMemorySink sink;
        EXPECT_TRUE(wouldTrace("DUV.Derovo2", duvtrace::Notice, 1));
        EXPECT_TRUE(wouldTrace("DUV.Derovo2", duvtrace::Debug, 1));
    }
    EXPECT_FALSE(wouldTrace("DUV.Derovo2", duvtrace::Notice, 1));
    duvtrace::clearSinks();
    EXPECT_FALSE(wouldTrace("DUV.Derovo2", duvtrace::Fatal, 1));
    EXPECT_FALSE(duvtrace::anySinkWants("DUV.Derovo2", duvtrace::Fatal));
    // With no sink the stream still accepts text and emits nothing.
    getStdStackTraceStream("DUV.x", duvtrace::Error, 1, "g", "c", "f.cpp", 1, "fn", "DLL", false) << "dropped";
}

TEST_F(Trace, RemovedSinkReceivesNothing) {
    auto mem = std::make_shared<duvtrace::MemoryTraceSink>();
    duvtrace::addSink(mem);
    getStdStackTraceStream("DUV.x", duvtrace::Notice, 1, "g", "c", "f.cpp", 1, "fn", "DLL", false) << "a";
    duvtrace::removeSink(mem);
    getStdStackTraceStream("DUV.x", duvtrace::Notice, 1, "g", "c", "f.cpp", 1, "fn", "DLL", false) << "b";
    EXPECT_EQ(mem->texts(), std::vector<std::string>{"a"});
}

TEST_F(Trace, StderrSinkFiltersByLevel) {
    duvtrace::clearSinks();
    duvtrace::addSink(std::make_shared<duvtrace::StderrTraceSink>(duvtrace::Warning));
    testing::internal::CaptureStderr();
    getStdStackTraceStream("DUV.Derovo2", duvtrace::Notice, 1, "MrServers", "Derovo2", "/src/derovo2/a.cpp", 10,
                           "insert", "DLL", false)
        << "progress";
    getStdStackTraceStream("DUV.Derovo2", duvtrace::Warning, 1, "MrServers", "Derovo2", "/src/derovo2/a.cpp", 11,
                           "insert", "DLL", false)
        << "careful";
    getStdStackTraceStream("DUV.Derovo2", duvtrace::Error, 1, "MrServers", "Derovo2", "/src/derovo2/a.cpp", 12,
                           "insert", "DLL", false)
        << "broken status = 0xc0000001\n";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "[Warning] DUV.Derovo2 insert (a.cpp:11): careful\n"
              "[Error] DUV.Derovo2 insert (a.cpp:12): broken status = 0xc0000001\n");
}

TEST_F(Trace, FileSinkWritesOneLinePerRecord) {
    const std::string path = ::testing::TempDir() + "duv_trace_test.log";
    duvtrace::clearSinks();
    {
        auto file = std::make_shared<duvtrace::FileTraceSink>(path, duvtrace::Notice);
        ASSERT_TRUE(file->ok());
        duvtrace::addSink(file);
        getStdStackTraceStream("DUV.Viviv", duvtrace::Info, 1, "MrSpecAcq", "Viviv", "n/w.cpp", 5, "EndInit", "DLL",
                               false)
            << "below the level";
        getStdStackTraceStream("DUV.Viviv", duvtrace::Notice, 1, "MrSpecAcq", "Viviv", "n/w.cpp", 6, "EndInit",
                               "DLL", false)
            << "line1\nline2\tx\\y";
        getStdStackTraceStream("DUV.Viviv", duvtrace::Error, 1, "MrSpecAcq", "Viviv", "n/w.cpp", 7, "endOfJob",
                               "DLL", false)
            << "";
        duvtrace::removeSink(file);
    }
    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 2u);
    // time TAB level TAB channel TAB group TAB component TAB file:line TAB function TAB text
    for (const auto& l : lines) {
        ASSERT_GT(l.size(), 24u);
        EXPECT_EQ(l[4], '-');
        EXPECT_EQ(l[19], '.');
        EXPECT_EQ(l[23], '\t');
    }
    EXPECT_EQ(lines[0].substr(24), "Notice\tDUV.Viviv\tMrSpecAcq\tViviv\tn/w.cpp:6\tEndInit\tline1\\nline2\\tx\\\\y");
    EXPECT_EQ(lines[1].substr(24), "Error\tDUV.Viviv\tMrSpecAcq\tViviv\tn/w.cpp:7\tendOfJob\t");
    std::remove(path.c_str());
    duvtrace::FileTraceSink broken("/nonexistent-dir/x/trace.log");
    EXPECT_FALSE(broken.ok());
    duvtrace::TraceRecord r;
    broken.write(r);  // refused quietly
}

TEST_F(Trace, ConcurrentStreamsKeepTheirRecordsWhole) {
    duvtrace::ScopedMemorySink sink;
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
        ts.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                getStdStackTraceStream("DUV.mt", duvtrace::Notice, 1, "g", "c", "f.cpp", t, "worker", "DLL", false)
                    << "thread " << t << " item " << i;
        });
    for (auto& t : ts) t.join();
    const auto records = sink->records();
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kPerThread));
    std::vector<int> next(kThreads, 0);
    for (const auto& r : records) {
        const int t = static_cast<int>(r.line);
        EXPECT_EQ(r.text, "thread " + std::to_string(t) + " item " + std::to_string(next[t]));
        ++next[t];  // each thread's records arrive in its own order
    }
}
