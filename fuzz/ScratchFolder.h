#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vesmira::fuzz {

// The credential and rule files are opened by a fixed name in the current folder: a fuzz target that reads one works
// in a private folder of its own (a TempDir, in memory-backed /dev/shm when there is one), so it never reads or
// replaces a real user's file. The folder is removed when the process exits normally.
//
// A target that calls writeInput gets the folder with it: ScratchFolder.cpp defines the target's
// LLVMFuzzerInitialize, which makes libFuzzer's relative paths (corpus folders, inputs, the artifact prefix, by
// default the current folder) absolute and then changes into the folder. It aborts when that fails: fuzzing
// somewhere else would be worse than not fuzzing.
class ScratchFolder {
public:
    // Replaces the file `name` in the folder with exactly the input; returns the input as bytes.
    static std::string_view writeInput(const char* name, const std::uint8_t* data, std::size_t size);
};

} // namespace vesmira::fuzz
