#pragma once

namespace fuzz {

// The credential and rule files are opened by a fixed name in the current folder: a fuzz target changes into a
// private folder of its own first (a TempDir), so it never reads or replaces a real user's file. The folder is
// removed when the process exits normally.
class ScratchFolder {
public:
    // Call from LLVMFuzzerInitialize with its arguments. Makes libFuzzer's relative paths (corpus folders, inputs,
    // the artifact prefix, by default the current folder) absolute, then creates the folder (in memory-backed
    // /dev/shm when there is one) and changes into it. Aborts when that fails: fuzzing somewhere else would be
    // worse than not fuzzing.
    static void enter(int* argc, char*** argv);
};

} // namespace fuzz
