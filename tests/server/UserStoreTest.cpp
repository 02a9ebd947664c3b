#include "TempFolder.h"
#include "server/log/Logger.h"
#include "server/users/UserStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vesmira {
namespace {

constexpr auto kYes = UserDirectory::Answer::Yes;
constexpr auto kNo = UserDirectory::Answer::No;

class UserStoreTest : public InTempFolder<> {
protected:
    std::unique_ptr<UserStore> open(const std::string& path) {
        std::string error;
        auto store = UserStore::open(path, PasswordHasher(PasswordHasher::Cost::Minimum), m_logger, error);
        EXPECT_EQ(store == nullptr, !error.empty()) << error;
        return store;
    }

    std::ostringstream m_log;
    Logger m_logger{LogLevel::Debug, m_log};
};

TEST_F(UserStoreTest, AddsChecksAndKeepsUsersAcrossReopen) {
    const std::string path = m_folder + "/users.sqlite3";
    {
        auto store = open(path);
        ASSERT_TRUE(store);
        EXPECT_EQ(store->contains("alice"), kNo);
        EXPECT_EQ(store->add("alice", "secret", "h"), kYes);
        EXPECT_EQ(store->add("alice", "other", "h"), kNo) << "an ID is registered once";
        EXPECT_EQ(store->checkPassword("alice", "secret"), kYes);
        EXPECT_EQ(store->checkPassword("alice", "other"), kNo);
        EXPECT_EQ(store->checkPassword("nobody", "secret"), kNo);
    }
    auto reopened = open(path);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->contains("alice"), kYes);
    EXPECT_EQ(reopened->checkPassword("alice", "secret"), kYes);
    EXPECT_TRUE(m_log.str().empty()) << m_log.str();
}

TEST_F(UserStoreTest, IdsAreExactBytes) {
    auto store = open(m_folder + "/users.sqlite3");
    ASSERT_TRUE(store);
    ASSERT_EQ(store->add("abc", "1", "h"), kYes);
    ASSERT_EQ(store->add("\x83\x65\x83\x58\x83\x67", "2", "h"), kYes);
    for (const char* other : {"ABC", "abc ", "ab", "\x83\x65\x83\x58", "\x83\x65\x83\x58\x83\x67\x83"}) {
        EXPECT_EQ(store->contains(other), kNo) << other;
    }
    EXPECT_EQ(store->checkPassword("\x83\x65\x83\x58\x83\x67", "2"), kYes);
    EXPECT_EQ(store->checkPassword("abc", "2"), kNo);
}

TEST_F(UserStoreTest, StoresArgon2idHashesNotPasswords) {
    const std::string path = m_folder + "/users.sqlite3";
    auto store = open(path);
    ASSERT_TRUE(store && store->add("alice", "plaintext-pw", "h") == kYes);
    store.reset();
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    const std::filesystem::path wal = path + "-wal";
    if (std::filesystem::exists(wal)) {
        bytes << std::ifstream(wal, std::ios::binary).rdbuf();
    }
    EXPECT_EQ(bytes.str().find("plaintext-pw"), std::string::npos);
    EXPECT_NE(bytes.str().find("$argon2id$"), std::string::npos);
}

TEST_F(UserStoreTest, UnusableFilesAreRefusedCleanly) {
    std::ofstream(m_folder + "/garbage.sqlite3") << std::string(4096, 'x');
    for (const std::string& path : {m_folder, m_folder + "/garbage.sqlite3", m_folder + "/no/such/dir/u"}) {
        std::string error;
        EXPECT_EQ(UserStore::open(path, PasswordHasher(PasswordHasher::Cost::Minimum), m_logger, error), nullptr)
            << path;
        EXPECT_NE(error.find(path), std::string::npos) << error;
    }
}

TEST(PasswordHasher, HashesVerifyAtTheirOwnCost) {
    ASSERT_TRUE(PasswordHasher::initialize());
    const PasswordHasher interactive(PasswordHasher::Cost::Interactive);
    const PasswordHasher minimum(PasswordHasher::Cost::Minimum);
    const auto slow = interactive.hash("pw");
    const auto fast = minimum.hash("pw");
    ASSERT_TRUE(slow && fast);
    EXPECT_NE(*slow, *fast);
    EXPECT_TRUE(minimum.verify(*slow, "pw")) << "the cost is read from the stored hash";
    EXPECT_TRUE(interactive.verify(*fast, "pw"));
    EXPECT_FALSE(minimum.verify(*fast, "pw "));
    EXPECT_FALSE(minimum.verify("", "pw"));
    EXPECT_FALSE(minimum.verify("$argon2id$garbage", "pw"));
    EXPECT_FALSE(minimum.verify(std::string(500, '$'), "pw"));
}

} // namespace
} // namespace vesmira
