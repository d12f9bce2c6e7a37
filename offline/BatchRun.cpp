#include "BatchRun.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <cstring>

#include "Commands.h"
#include "Interrupt.h"
#include "ReportPage.h"

namespace duvoffline {

namespace fs = std::filesystem;
using nlohmann::json;

std::vector<std::string> batchNames(const std::vector<std::string>& inputs) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const std::string& input : inputs) {
        fs::path p = fs::path(input).lexically_normal();
        if (p.filename().empty()) p = p.parent_path();  // "dir/"
        std::error_code ec;
        std::string name = fs::is_regular_file(p, ec) ? p.stem().string() : p.filename().string();
        if (name.empty() || name == "." || name == "..") name = fs::absolute(p).lexically_normal().filename().string();
        if (name.empty()) name = "run";
        std::string unique = name;
        for (int k = 2; taken.count(unique); ++k) unique = name + "_" + std::to_string(k);
        taken.insert(unique);
        names.push_back(unique);
    }
    return names;
}

namespace {

struct Job {
    std::string name, input;
    fs::path output, stdoutFile, stderrFile;
    pid_t pid = 0;
    int status = -1;  // exit status once ended
};

// The child: duv run INPUT --out OUT/NAME with standard output and error in
// files, ended without running the parent's exit handlers.
[[noreturn]] void runChild(const Job& job, RunOptions options, const IsmrmrdImportOptions& ismrmrd) {
    // Its own process group: Ctrl-C reaches duv only, which forwards it once.
    setpgid(0, 0);
    const int out = open(job.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(job.stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) _exit(1);
    options.input = job.input;
    options.output = job.output.string();
    options.progress = false;
    int status = 1;
    try {
        status = runDirectoryOrIsmrmrdFile(options, ismrmrd);
    } catch (const std::exception& e) {
        std::cerr << "duv run: " << e.what() << "\n";
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    _exit(status);
}

// Copies a child's output to `to`, each line prefixed with its name; removes the file.
void relay(const fs::path& file, const std::string& name, std::ostream& to) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) to << name << ": " << line << "\n";
    to.flush();
    std::error_code ec;
    fs::remove(file, ec);
}

int exitStatusOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
    return 1;
}

}  // namespace

int runBatch(const std::vector<std::string>& inputs, const std::string& output, int jobs, RunOptions options,
             const IsmrmrdImportOptions& ismrmrd) {
    const auto started = std::chrono::steady_clock::now();
    if (output.empty()) {
        std::cerr << "duv run: several measurements need --out (each is run into OUT/NAME)\n";
        return 2;
    }
    if (jobs < 1) jobs = 1;
    const InterruptCatcher interrupts;
    const fs::path out = fs::absolute(output);
    std::error_code ec;
    if (fs::exists(out / "summary.json", ec))
        std::cerr << "duv run: " << out.string() << " holds an earlier run: its results are replaced\n";
    fs::create_directories(out, ec);
    if (ec) {
        std::cerr << "duv run: " << out.string() << ": cannot be created: " << ec.message() << "\n";
        return 2;
    }
    const std::vector<std::string> names = batchNames(inputs);
    std::vector<Job> all(inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
        all[i].name = names[i];
        all[i].input = inputs[i];
        all[i].output = out / names[i];
        all[i].stdoutFile = out / ("." + names[i] + ".stdout");
        all[i].stderrFile = out / ("." + names[i] + ".stderr");
    }

    std::map<pid_t, size_t> running;
    size_t next = 0;
    bool forwarded = false;
    std::cout.flush();
    std::fflush(nullptr);
    while (next < all.size() || !running.empty()) {
        if (caughtSignal() && !forwarded) {
            for (const auto& [pid, index] : running) kill(pid, caughtSignal());
            forwarded = true;
        }
        while (!caughtSignal() && next < all.size() && int(running.size()) < jobs) {
            Job& job = all[next];
            const pid_t pid = fork();
            if (pid == 0) runChild(job, options, ismrmrd);
            if (pid < 0) {
                std::cerr << "duv run: " << job.name << ": cannot start a process: " << std::strerror(errno) << "\n";
                job.status = 1;
            } else {
                job.pid = pid;
                running[pid] = next;
            }
            ++next;
        }
        if (running.empty()) break;
        // Polled rather than blocking: a signal that comes between the check
        // above and a blocking wait would reach the runs only when one ends.
        int waitStatus = 0;
        const pid_t ended = waitpid(-1, &waitStatus, WNOHANG);
        if (ended == 0 || (ended < 0 && errno == EINTR)) {
            usleep(20000);
            continue;
        }
        if (ended < 0) break;
        const auto it = running.find(ended);
        if (it == running.end()) continue;
        Job& job = all[it->second];
        running.erase(it);
        job.status = exitStatusOf(waitStatus);
        relay(job.stdoutFile, job.name, std::cout);
        relay(job.stderrFile, job.name, std::cerr);
        if (job.status > 2 && job.status != kInterruptedExit)
            std::cerr << job.name << ": duv run: ended abnormally (exit status " << job.status << ")\n";
    }
    // A signal between the last wait and the end still counts.
    const int signal = caughtSignal();

    json runs = json::array();
    int worst = 0, succeeded = 0;
    std::vector<std::string> failed;
    for (const Job& job : all) {
        json summary = nullptr;
        if (std::ifstream f{job.output / "summary.json"}) summary = json::parse(f, nullptr, false);
        if (summary.is_discarded()) summary = nullptr;
        runs.push_back({{"name", job.name},
                        {"input", fs::absolute(job.input).string()},
                        {"output", job.output.string()},
                        {"started", job.pid != 0},
                        {"exitStatus", job.pid != 0 || job.status >= 0 ? json(job.status) : json(nullptr)},
                        {"summary", summary}});
        if (job.status == 0) {
            ++succeeded;
        } else if (job.pid != 0 || job.status >= 0) {
            failed.push_back(job.name);
            worst = std::max(worst, job.status == 2 ? 2 : 1);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    json combined = {{"output", out.string()},
                     {"jobs", jobs},
                     {"runs", runs},
                     {"succeeded", succeeded},
                     {"failed", failed},
                     {"notStarted", all.size() - next},
                     {"interrupted", signal ? json(signalName(signal)) : json(nullptr)},
                     {"ok", failed.empty() && !signal && next == all.size()},
                     {"wallSeconds", seconds}};
    // A combined file that cannot be written makes the whole a failure.
    {
        std::ofstream f(out / "summary.json");
        f << combined.dump(2) << "\n";
        f.close();
        if (!f) {
            std::cerr << "duv run: " << (out / "summary.json").string() << ": write failed\n";
            worst = std::max(worst, 1);
        }
    }
    if (!writeBatchReportPage(out, combined)) {
        std::cerr << "duv run: " << (out / "index.html").string() << ": write failed\n";
        worst = std::max(worst, 1);
    }

    char tail[64];
    std::snprintf(tail, sizeof tail, " (%.1f s)", seconds);
    std::cout << "duv run: " << all.size() << " measurements: " << succeeded << " succeeded";
    if (!failed.empty()) {
        std::cout << ", " << failed.size() << " failed (";
        for (size_t i = 0; i < failed.size(); ++i) std::cout << (i ? ", " : "") << failed[i];
        std::cout << ")";
    }
    if (next < all.size()) std::cout << ", " << all.size() - next << " not started";
    std::cout << "; summary in " << (out / "summary.json").string() << tail << std::endl;
    return signal ? kInterruptedExit : worst;
}

}  // namespace duvoffline
