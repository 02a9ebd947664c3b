#include "LoadOptions.h"
#include "LoadRun.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << load::LoadOptions::usage();
        return 0;
    }
    std::string error;
    const auto options = load::LoadOptions::parse(argc, argv, error);
    if (!options) {
        std::cerr << "vesmira-load: " << error << "\n" << load::LoadOptions::usage();
        return 2;
    }
    load::LoadRun run(*options);
    return run.run() ? 0 : 1;
}
