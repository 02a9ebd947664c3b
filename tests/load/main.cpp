#include "FanoutRun.h"
#include "FloodRun.h"
#include "LoadOptions.h"
#include "LoadRun.h"
#include "RegistrationRun.h"
#include "StuckRun.h"

#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--help") {
        std::cout << vesmira::load::LoadOptions::usage();
        return 0;
    }
    std::string error;
    const auto options = vesmira::load::LoadOptions::parse(argc, argv, error);
    if (!options) {
        std::cerr << "vesmira-load: " << error << "\n" << vesmira::load::LoadOptions::usage();
        return 2;
    }
    if (options->scenario == "chat") {
        vesmira::load::LoadRun run(*options);
        return run.run() ? 0 : 1;
    }
    std::unique_ptr<vesmira::load::Scenario> scenario;
    if (options->scenario == "fanout" || options->scenario == "overload") {
        scenario = std::make_unique<vesmira::load::FanoutRun>(*options);
    } else if (options->scenario == "registrations") {
        scenario = std::make_unique<vesmira::load::RegistrationRun>(*options);
    } else if (options->scenario == "flood") {
        scenario = std::make_unique<vesmira::load::FloodRun>(*options);
    } else {
        scenario = std::make_unique<vesmira::load::StuckRun>(*options);
    }
    return scenario->run() ? 0 : 1;
}
