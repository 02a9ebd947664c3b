// What each server's once-a-second look at its signed-in users costs the SQLite store: one lookup per user, on a
// worker thread. Every 100th user is locked, and the benchmark checks that exactly those come back.
#include "TempDir.h"
#include "server/log/Logger.h"
#include "server/users/UserStore.h"

#include <benchmark/benchmark.h>

#include <iostream>

namespace {

using namespace vesmira;

void accountCheck(benchmark::State& state) {
    const auto users = static_cast<std::size_t>(state.range(0));
    TempDir folder(TempDir::Current::Stay);
    Logger logger(LogLevel::Warn, std::cerr);
    std::string error;
    auto store =
        UserStore::open(folder.file("users.sqlite3"), PasswordHasher(PasswordHasher::Cost::Minimum), logger, error);
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
    if (wrong > 0) {
        state.SkipWithError("the check answered wrongly");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * users));
}
BENCHMARK(accountCheck)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
