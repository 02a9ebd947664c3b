#include "ScratchFolder.h"

#include "FuzzCheck.h"
#include "TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace vesmira::fuzz {

namespace {

std::vector<std::string> g_arguments;
std::vector<char*> g_argv;

std::string baseFolder() {
    if (::access("/dev/shm", W_OK | X_OK) == 0) {
        return "/dev/shm";
    }
    const char* tmp = std::getenv("TMPDIR");
    return tmp && tmp[0] == '/' ? tmp : "/tmp";
}

std::string absolute(const std::string& path) {
    return std::filesystem::absolute(path).string();
}

// libFuzzer reads its arguments after LLVMFuzzerInitialize returns, so rewriting them here is enough.
void makePathsAbsolute(int* argc, char*** argv) {
    constexpr std::string_view kArtifactPrefix = "-artifact_prefix=";
    constexpr std::string_view kExactArtifactPath = "-exact_artifact_path=";
    bool hasArtifactPrefix = false;
    for (int i = 0; i < *argc; ++i) {
        std::string argument = (*argv)[i];
        if (i > 0 && !argument.starts_with("-")) {
            argument = absolute(argument);
        } else if (argument.starts_with(kArtifactPrefix)) {
            hasArtifactPrefix = true;
            argument = std::string(kArtifactPrefix) + absolute(argument.substr(kArtifactPrefix.size()));
        } else if (argument.starts_with(kExactArtifactPath)) {
            argument = std::string(kExactArtifactPath) + absolute(argument.substr(kExactArtifactPath.size()));
        }
        g_arguments.push_back(argument);
    }
    if (!hasArtifactPrefix) {
        g_arguments.push_back(std::string(kArtifactPrefix) + std::filesystem::current_path().string() + "/");
    }
    for (std::string& argument : g_arguments) {
        g_argv.push_back(argument.data());
    }
    g_argv.push_back(nullptr);
    *argc = static_cast<int>(g_arguments.size());
    *argv = g_argv.data();
}

} // namespace

std::string_view ScratchFolder::writeInput(const char* name, const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(!g_arguments.empty()); // never outside the private folder
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(TempDir::write(name, bytes));
    return bytes;
}

} // namespace vesmira::fuzz

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    vesmira::fuzz::makePathsAbsolute(argc, argv);
    // Lives until the process exits; a TempDir that cannot be made throws, which aborts.
    static TempDir folder(TempDir::Current::Enter, vesmira::fuzz::baseFolder());
    return 0;
}
