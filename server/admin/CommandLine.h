#pragma once

#include <string>

namespace vesmira {

// What parsing an operator's command (`vesmira-server users ...`, `tls-init ...`) found, and the exit codes they
// share: done; not done (nothing to act on, already there, a store or file failed); a command line it cannot use.
struct CommandLine {
    enum class Action { Run, ShowHelp, Fail };
    static constexpr int kDone = 0;
    static constexpr int kNotDone = 1;
    static constexpr int kUsage = 2;

    Action action = Action::Run;
    std::string error; // when action is Fail
};

} // namespace vesmira
