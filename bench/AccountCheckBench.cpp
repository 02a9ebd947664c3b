// What each server's once-a-second look at its signed-in users costs the SQLite store: one lookup per user, on a
// worker thread. Every 100th user is locked, and the benchmark checks that exactly those come back.
#include "server/log/Logger.h"
#include "server/users/UserStore.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <iostream>
#include <stdlib.h>

namespace {

using namespace vesmira;

void accountCheck(benchmark::State& state) {
    const auto users = static_cast<std::size_t>(state.range(0));
    std::string folder = (std::filesystem::temp_directory_path() / "vesmira-bench-XXXXXX").string();
    if (!mkdtemp(folder.data())) {
        state.SkipWithError("no temporary folder");
        return;
    }
    Logger logger(LogLevel::Warn, std::cerr);
    std::string error;
    auto store =
        UserStore::open(folder + "/users.sqlite3", PasswordHasher(PasswordHasher::Cost::Minimum), logger, error);
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < users && store; ++i) {
        ids.push_back("user" + std::to_string(i));
        store->create(ids.back(), "pw");
        if (i % 100 == 0) {
            store->setLocked(ids.back(), true);
        }
    }
    std::size_t wrong = 0;
    for (auto _ : state) {
        const auto inactive = store ? store->inactiveAmong(ids) : std::nullopt;
        wrong += !inactive || inactive->size() != (users + 99) / 100;
    }
    std::filesystem::remove_all(folder);
    if (wrong > 0) {
        state.SkipWithError("the check answered wrongly");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * users));
}
BENCHMARK(accountCheck)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
