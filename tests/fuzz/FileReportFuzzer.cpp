// `duv inspect --json` of one file: whatever the file holds, inspect either
// describes it (status 0) or refuses it with one line (status 2).
#include <CLI/CLI.hpp>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "Commands.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // What inspect prints goes nowhere: the harness checks the status only.
    static std::ostringstream sink;
    static const bool quiet = [] {
        std::cout.rdbuf(sink.rdbuf());
        std::cerr.rdbuf(sink.rdbuf());
        return true;
    }();
    (void)quiet;
    sink.str({});
    const std::string file = duvfuzz::writeScratch("input.nii", data, size);
    const std::string pictures = duvfuzz::scratch() / "pictures";
    CLI::App app("duv");
    int status = -1;
    duvoffline::addInspectCommand(app, status);
    std::vector<std::string> args{file, pictures, "--out", "--json", "inspect"};  // reversed, as CLI11 takes them
    app.parse(args);
    duvfuzz::check(status == 0 || status == 2, "inspect ended with status " + std::to_string(status));
    return 0;
}
