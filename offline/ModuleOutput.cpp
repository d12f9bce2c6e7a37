#include "ModuleOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>

namespace duvoffline {

namespace {

// Where duv's own output goes; the copies of 1 and 2 while a ModuleOutput
// lives (-1 when that descriptor was closed when the run began).
std::atomic<int> outDescriptor{STDOUT_FILENO}, errDescriptor{STDERR_FILENO};
std::atomic<bool> redirecting{false};

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t n = text.size();
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;  // duv's own output cannot be written: nothing better to do
        p += w;
        n -= size_t(w);
    }
}

void flushStreams() {
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
}

// A copy of `fd` above the standard descriptors, or -1 when `fd` is closed.
int copyOf(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 3); }

void giveBack(int copy, int fd) {
    if (copy >= 0) {
        dup2(copy, fd);
        close(copy);
    } else {
        close(fd);  // it was closed before the run
    }
}

}  // namespace

void duvOut(const std::string& text) {
    // What went through std::cout or stdout before comes first.
    if (!redirecting) {
        std::cout.flush();
        std::fflush(stdout);
    }
    writeAll(outDescriptor, text);
}

void duvErr(const std::string& text) {
    if (!redirecting) std::cerr.flush();
    writeAll(errDescriptor, text);
}

int duvErrDescriptor() { return errDescriptor; }

ModuleOutput::ModuleOutput(const std::string& path) {
    if (redirecting.exchange(true)) return;  // another one lives: it keeps the descriptors
    flushStreams();
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file >= 0 && file <= STDERR_FILENO) {
        // A standard descriptor was closed and open() took it: move the file above them.
        const int moved = copyOf(file);
        close(file);
        file = moved;
    }
    if (file < 0) {
        redirecting = false;
        return;
    }
    const int out = copyOf(STDOUT_FILENO), err = copyOf(STDERR_FILENO);
    if (dup2(file, STDOUT_FILENO) < 0 || dup2(file, STDERR_FILENO) < 0) {
        giveBack(out, STDOUT_FILENO);
        giveBack(err, STDERR_FILENO);
        close(file);
        redirecting = false;
        return;
    }
    close(file);
    outDescriptor = out;
    errDescriptor = err;
    redirected_ = true;
}

ModuleOutput::~ModuleOutput() {
    if (!redirected_) return;
    flushStreams();  // what a module left in a stream buffer belongs to the file
    const int out = outDescriptor.exchange(STDOUT_FILENO), err = errDescriptor.exchange(STDERR_FILENO);
    giveBack(out, STDOUT_FILENO);
    giveBack(err, STDERR_FILENO);
    redirecting = false;
}

std::string lastModuleLine(const std::string& path) {
    flushStreams();
    // The end of the file is enough: only its last lines matter.
    constexpr long kTail = 64 * 1024;
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        if (std::fseek(f, 0, SEEK_END) == 0) {
            const long size = std::ftell(f);
            const long from = size > kTail ? size - kTail : 0;
            if (size > 0 && std::fseek(f, from, SEEK_SET) == 0) {
                text.resize(size_t(size - from));
                text.resize(std::fread(text.data(), 1, text.size(), f));
            }
        }
        std::fclose(f);
    }
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    size_t end = text.size();
    while (end > 0) {
        const size_t newline = text.rfind('\n', end - 1);
        const size_t begin = newline == std::string::npos ? 0 : newline + 1;
        size_t a = begin, b = end;
        while (a < b && blank(text[a])) ++a;
        while (b > a && blank(text[b - 1])) --b;
        if (a < b) {
            std::string line = text.substr(a, b - a);
            for (char& c : line)
                if ((unsigned char)c < 0x20 || c == 0x7f) c = ' ';
            constexpr size_t kLongest = 200;
            if (line.size() > kLongest) {
                size_t cut = kLongest - 3;
                while (cut > 0 && ((unsigned char)line[cut] & 0xC0) == 0x80) --cut;  // not inside a UTF-8 character
                line = line.substr(0, cut) + "...";
            }
            return line;
        }
        if (newline == std::string::npos) break;
        end = newline;
    }
    return {};
}

}  // namespace duvoffline
