// The host's installation directories.
#include "duvhost/Installation.h"

#include <mutex>

#include "duvhost/Platform.h"

namespace DuvHost {

namespace {

struct Layout {
    std::mutex mutex;
    std::string simulationData = DuvPlatform::DefaultInstallation().simulationData;
    std::string temp = DuvPlatform::DefaultInstallation().temp;
    std::string customer = DuvPlatform::DefaultInstallation().customer;
    std::string root = DuvPlatform::DefaultInstallation().root;
};

Layout& layout() {
    static Layout* l = new Layout;  // never destroyed: stages may ask while the process exits
    return *l;
}

// Every directory ends with a separator so that callers append file names
// directly; an empty name stands for the working directory.
std::string asDirectory(const std::string& dir) {
    if (dir.empty()) return "./";
    return DuvPlatform::IsPathSeparator(dir.back()) ? dir : dir + "/";
}

std::string get(std::string Layout::*field) {
    Layout& l = layout();
    std::lock_guard<std::mutex> g(l.mutex);
    return l.*field;
}

void set(std::string Layout::*field, const std::string& dir) {
    Layout& l = layout();
    std::lock_guard<std::mutex> g(l.mutex);
    l.*field = asDirectory(dir);
}

}  // namespace

std::string SimulationDataDirectory() { return get(&Layout::simulationData); }
std::string TempDirectory() { return get(&Layout::temp); }
std::string CustomerDirectory() { return get(&Layout::customer); }
std::string RootDirectory() { return get(&Layout::root); }

void SetSimulationDataDirectory(const std::string& dir) { set(&Layout::simulationData, dir); }
void SetTempDirectory(const std::string& dir) { set(&Layout::temp, dir); }
void SetCustomerDirectory(const std::string& dir) { set(&Layout::customer, dir); }
void SetRootDirectory(const std::string& dir) { set(&Layout::root, dir); }

void SetInstallationRoot(const std::string& root) {
    const std::string base = asDirectory(root);
    Layout& l = layout();
    std::lock_guard<std::mutex> g(l.mutex);
    l.simulationData = base + "SimMeasData/";
    l.temp = base + "temp/";
    l.customer = base + "MriCustomer/seq/";
    l.root = base;
}

void ResetInstallationDefaults() {
    Layout& l = layout();
    std::lock_guard<std::mutex> g(l.mutex);
    const DuvPlatform::InstallationDefaults defaults = DuvPlatform::DefaultInstallation();
    l.simulationData = defaults.simulationData;
    l.temp = defaults.temp;
    l.customer = defaults.customer;
    l.root = defaults.root;
}

}  // namespace DuvHost
