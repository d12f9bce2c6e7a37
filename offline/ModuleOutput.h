// What the modules print while `duv run` runs them (printf, std::cout,
// std::cerr, fprintf(stderr): whatever reaches file descriptors 1 and 2) goes
// to OUT/module.log, so that a diagnostic without a final line feed cannot
// run into duv's own lines. duv's own output (messages, warnings, the
// progress bar, trace records shown on standard error) still reaches the
// terminal: it is written through copies of the two descriptors taken before
// they were redirected.
#pragma once

#include <string>

#include "duvhost/Framework.h"

namespace duvoffline {

// duv's own standard output and error: `text` in one write (a line is not
// split by another thread's output), to descriptor 1 or 2, or while a
// ModuleOutput lives to the copy it keeps of it.
void duvOut(const std::string& text);
void duvErr(const std::string& text);
// The descriptor duvErr() writes to (whether it is a terminal, its width).
int duvErrDescriptor();

// Trace records at or above a level on duv's own standard error.
class DuvErrTraceSink : public duvtrace::StderrTraceSink {
public:
    using StderrTraceSink::StderrTraceSink;

protected:
    void put(const std::string& line) override { duvErr(line); }
};

// Descriptors 1 and 2 go into a file while it lives (one at a time per
// process). The C and C++ streams are flushed at both switches: what duv
// printed before stays on the terminal, what the modules printed during
// the run (a line without its line feed included) is in the file.
class ModuleOutput {
public:
    // Creates (truncates) `path`; ok() says whether it could and the
    // descriptors were redirected.
    explicit ModuleOutput(const std::string& path);
    ~ModuleOutput();
    ModuleOutput(const ModuleOutput&) = delete;
    ModuleOutput& operator=(const ModuleOutput&) = delete;
    bool ok() const { return redirected_; }

private:
    bool redirected_ = false;
};

// The last line of `path` with more than blanks in it, without the blanks
// around it, control characters as blanks, cut to 200 characters (ending
// in "..."); empty when there is none. The C and C++ streams are flushed
// first, so that a module's buffered output is in the file.
std::string lastModuleLine(const std::string& path);

}  // namespace duvoffline
