#include "ChildProcess.h"
#include "ServerHarness.h"
#include "TempFolder.h"
#include "TestCertificate.h"
#include "TestClient.h"
#include "server/limits/LimitCounters.h"
#include "server/metrics/ServerStats.h"
#include "server/tls/TlsCredentials.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace vesmira {
namespace {

using namespace std::string_literals;

ServerHarness::Options withTls(std::chrono::milliseconds signInTimeout = std::chrono::seconds(30)) {
    ServerHarness::Options options;
    options.tls = true;
    options.settings.signInTimeout = signInTimeout;
    return options;
}

TEST(Tls, PlainBytesOnTheTlsPortAreRefusedAndServingGoesOn) {
    ServerHarness server(withTls());
    ASSERT_TRUE(server.running()) << server.error();
    auto chatting = registered(server.tlsPort(), "alice", true);
    ASSERT_TRUE(chatting);
    const std::vector<std::string> strangers = {
        "ENTRY\0"s,                                  // a client without TLS, registering
        "JUDGE\0"s,                                  // one authenticating
        "GET / HTTP/1.1\r\nHost: chat\r\n\r\n",      // a browser
        "\x16\x03\x01\x00\x05\x01\x00\x00\x01\x00"s, // a ClientHello cut short and wrong
        std::string(600, '\xff'),
    };
    for (const std::string& bytes : strangers) {
        TestClient stranger;
        ASSERT_TRUE(stranger.connect(server.tlsPort()));
        ASSERT_TRUE(stranger.send(bytes));
        const auto answered = stranger.receive(5, std::chrono::milliseconds(2000));
        EXPECT_NE(answered.value_or(""), "Hello") << bytes;
        EXPECT_TRUE(stranger.readUntilClosed().has_value()) << bytes;
        ASSERT_TRUE(chatting->send(line("alice", "still here")));
        EXPECT_EQ(chatting->receive(kRecordBytes), line("alice", "still here"));
    }
    ASSERT_TRUE(chatting->send(line("alice", "and some")));
    EXPECT_EQ(chatting->receiveSome(kRecordBytes, std::chrono::seconds(5)), line("alice", "and some"));
    EXPECT_EQ(server.stats().tlsHandshakes(false), strangers.size());
    EXPECT_TRUE(registered(server.tlsPort(), "carol", true)) << "the listener goes on";
}

class TlsKey : public InTempFolder<> {};

// Asking for the passphrase would block the relay thread on a terminal (and fail without one, less clearly).
TEST_F(TlsKey, AnEncryptedKeyIsRefusedWithoutAskingForItsPassphrase) {
    const TestCertificate made = TestCertificate::make(m_folder, "made", "localhost");
    const std::string encrypted = m_folder + "/encrypted-key.pem";
    const std::string command = "openssl pkey -in " + made.key + " -aes256 -passout pass:secret -out " + encrypted;
    ASSERT_EQ(std::system(command.c_str()), 0);
    TlsCredentials credentials(made.certificate, encrypted);
    std::string error;
    std::string warning;
    EXPECT_FALSE(credentials.load(error, warning));
    EXPECT_NE(error.find("it is encrypted"), std::string::npos) << error;
}

TEST(Tls, HandshakeCountsInsideTheSignInTimeout) {
    ServerHarness::Options options = withTls(std::chrono::seconds(2));
    options.settings.dialogTimeout = std::chrono::seconds(2); // the wait after the greeting is the dialog's
    ServerHarness server(options);
    ASSERT_TRUE(server.running()) << server.error();
    // Silent: closed at the sign-in time-out, as a failed handshake.
    TestClient silent;
    ASSERT_TRUE(silent.connect(server.tlsPort()));
    // Slow: its handshake takes three quarters of the time; what is left after the greeting is the rest.
    TestClient slow;
    ASSERT_TRUE(slow.connect(server.tlsPort()));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(slow.startTls());
    EXPECT_EQ(slow.receive(5), "Hello");
    EXPECT_TRUE(slow.readUntilClosed(std::chrono::milliseconds(1200)).has_value());
    EXPECT_TRUE(silent.readUntilClosed().has_value());
    // Counted just after the close that the clients saw.
    EXPECT_TRUE(
        eventually([&] { return server.limitCounters().value(Limit::SignInTimeout) == 2u; }, std::chrono::seconds(2)));
    EXPECT_EQ(server.stats().tlsHandshakes(false), 1u);
}

} // namespace
} // namespace vesmira
