#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "ModuleOutput.h"

namespace duvoffline {

namespace {

std::string duration(double seconds) {
    const long s = long(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string rate(double perSecond) {
    char buf[32];
    if (perSecond >= 1e4)
        std::snprintf(buf, sizeof buf, "%.0fk/s", perSecond / 1e3);
    else if (perSecond >= 10)
        std::snprintf(buf, sizeof buf, "%.0f/s", perSecond);
    else
        std::snprintf(buf, sizeof buf, "%.1f/s", perSecond);
    return buf;
}

}  // namespace

std::string progressLine(uint64_t done, uint64_t total, double elapsedSeconds, int width, const std::string& unit) {
    if (done > total) done = total;
    const int percent = total ? int(done * 100 / total) : 100;
    char head[64];
    std::snprintf(head, sizeof head, "%3d%%", percent);
    const std::string count = std::to_string(done) + "/" + std::to_string(total) + " " + unit;
    std::string speed, left;
    if (elapsedSeconds > 0.05 && done > 0) {
        const double perSecond = double(done) / elapsedSeconds;
        speed = rate(perSecond);
        left = duration(double(total - done) / perSecond) + " left";
    } else {
        left = "--:-- left";
    }
    // Everything after the bar, dropping the least useful parts first.
    auto joined = [](std::initializer_list<std::string> parts) {
        std::string t;
        for (const std::string& p : parts)
            if (!p.empty()) t += (t.empty() ? "" : " ") + p;
        return t;
    };
    const std::string parts[] = {joined({head, count, speed, left}), joined({head, speed, left}),
                                 joined({head, left}), std::string(head)};
    const int room = width - 1;
    for (const std::string& tail : parts) {
        const int barWidth = room - int(tail.size()) - 3;  // "[" "]" and a space
        if (barWidth >= 10) {
            const int filled = int(uint64_t(barWidth) * (total ? done : 1) / (total ? total : 1));
            return "[" + std::string(size_t(filled), '#') + std::string(size_t(barWidth - filled), '.') + "] " + tail;
        }
    }
    for (const std::string& tail : parts)
        if (int(tail.size()) <= room) return tail;
    return std::string(head).substr(0, size_t(room > 0 ? room : 0));
}

int terminalWidth() {
    winsize ws{};
    if (ioctl(duvErrDescriptor(), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const int c = std::atoi(columns);
        if (c > 0) return c;
    }
    return 80;
}

Progress::Progress(uint64_t total, bool enabled, std::string unit)
    : total_(total), enabled_(enabled && isatty(duvErrDescriptor()) && total > 0), unit_(std::move(unit)),
      started_(std::chrono::steady_clock::now()), drawn_(started_) {}

void Progress::update(uint64_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    const int percent = int(done * 100 / total_);
    // Redrawn at each percent, and four times a second for the rate.
    if (percent == lastPercent_ && now - drawn_ < std::chrono::milliseconds(250)) return;
    lastPercent_ = percent;
    drawn_ = now;
    const int width = terminalWidth();
    const std::string line =
        progressLine(done, total_, std::chrono::duration<double>(now - started_).count(), width, unit_);
    // Clearing to the end of the line removes what a longer earlier line left.
    duvErr("\r" + line + "\033[K");
}

Progress::~Progress() {
    if (enabled_) duvErr("\r\033[K");
}

}  // namespace duvoffline
