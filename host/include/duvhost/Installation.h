// The host's installation layout. The modules ask for these directories;
// they read no environment variables. The offline host roots all of them
// under its output folder.
#pragma once

#include <string>

namespace DuvHost {

// Each ends with a separator. Defaults:
//                    Linux                         Windows
//   simulation data  "/opt/med/SimMeasData/"       "C:\\Zarezu\\SimMeasData\\"
//   temp             "/opt/med/temp/"              "C:\\Zarezu\\temp\\"
//   customer         "/opt/med/MriCustomer/seq/"   "C:\\Zarezu\\MriCustomer\\seq\\"
std::string SimulationDataDirectory();
std::string TempDirectory();
std::string CustomerDirectory();
// Where a module falls back to when its own directories cannot be written:
// "/" by default; under the installation root when one is set, so that a
// host running as an ordinary user keeps every file inside its own tree.
std::string RootDirectory();

void SetSimulationDataDirectory(const std::string& dir);  // a missing trailing '/' is added
void SetTempDirectory(const std::string& dir);
void SetCustomerDirectory(const std::string& dir);
void SetRootDirectory(const std::string& dir);
// Sets all four under root: root/SimMeasData/, root/temp/, root/MriCustomer/seq/
// and root/ itself as the root directory.
void SetInstallationRoot(const std::string& root);
void ResetInstallationDefaults();

}  // namespace DuvHost
