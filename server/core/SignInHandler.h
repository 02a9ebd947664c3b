#pragma once

#include "server/core/Alarm.h"
#include "server/core/GuardedQuery.h"
#include "server/core/SendQueue.h"
#include "server/core/SignInProtocol.h"
#include "server/log/Logger.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vesmira {

class ChatServer;
class UserDirectory;
class WorkerPool;
struct ServerSettings;

// The sign-in of one connection, from the greeting to the last reply: each message read before sign-in goes to
// handle(), which asks the account store on the worker pool when a step needs it, holds a step back after failed
// authentications, and reports the outcome to its connection. Relay thread only.
//
// Two clocks: while the client has not begun a sign-in (after the greeting, and again after a refused step) a
// person is at the dialog, and the long dialog time-out applies; from its first message on, the short sign-in
// time-out. The clock stops while the server holds back or works on a step: neither a held refusal nor a busy
// pool may time out an honest user.
class SignInHandler {
public:
    using Clock = std::chrono::steady_clock;

    // What the handler needs from its connection, and what it tells it.
    class Client {
    public:
        // Keeps the connection, and with it the handler, alive while a step waits.
        virtual std::shared_ptr<void> keepAlive() = 0;
        virtual bool closed() const = 0;
        // False when the connection closed instead.
        virtual bool send(const SendQueue::Bytes& bytes) = 0;
        // A reply is on its way: the next message may be read.
        virtual void readNextMessage() = 0;
        // The last reply accepted: the user takes part in the chat from now on.
        virtual void signedIn(bool registering) = 0;
        // The last refusal a connection may get is on its way: nothing more is read.
        virtual void refusedTooOften() = 0;
        // The sign-in clock ran out, at the dialog (no sign-in begun) or during a sign-in.
        virtual void timedOut(bool atDialog) = 0;
        virtual void log(LogLevel level, std::string_view message) = 0;

    protected:
        ~Client() = default;
    };

    // `holder` names the connection to the store while it holds an ID; `address` is the client's address alone,
    // as the guess delay and the failure log key it.
    SignInHandler(Client& client, ChatServer& server, WorkerPool& workers, UserDirectory& users,
                  const ServerSettings& settings, std::string holder, std::string address,
                  const asio::any_io_executor& executor);

    // Greets the client; the dialog's clock runs from `since` (the connection's start: a TLS handshake counts too).
    void start(Clock::time_point since);
    // One message; the next is read once the client is told so.
    void handle(std::string_view message);
    // The connection closes: the clock stops, and an ID held for a registration is given back.
    void stop();

    // Once signed in: the user's ID.
    const std::string& userId() const { return m_protocol.userId(); }

private:
    void armDeadline();
    // Restarts the clock: the dialog's or the sign-in's time from `from`.
    void restartClock(bool atDialog, Clock::time_point from);
    void onDeadline();
    void pauseClock();
    void resumeClock();
    // Holds the step back (reading nothing, the clock stopped) until `at`, then runs `then`.
    template <typename Then> void holdUntil(Clock::time_point at, Then then);
    // Runs a step on the worker pool, behind the guess gate where it needs to be; `decided` is the outcome of a step
    // without a query.
    void submit(GuardedQuery step, bool registering, SignInProtocol::State stepState,
                std::optional<SignInProtocol::Outcome> decided = std::nullopt);
    // Lets the store give up the ID it holds for this registration (on the worker pool; nothing waits for it).
    void releaseId(const std::string& id);
    // `failedFor`: the step counted as a failure against the account or address, and its refusal is held back this
    // long; `id` is the ID the step asked about.
    void onOutcome(const SignInProtocol::Outcome& outcome, bool registering, SignInProtocol::State step,
                   std::optional<std::chrono::milliseconds> failedFor = std::nullopt, std::string_view id = {});
    // The reply to a step, once any delay for a failed authentication is over.
    void reply(const SignInProtocol::Outcome& outcome, bool registering);

    Client& m_client;
    ChatServer& m_server;
    WorkerPool& m_workers;
    UserDirectory& m_users;
    const ServerSettings& m_settings;
    const std::string m_holder;
    const std::string m_address;
    SignInProtocol m_protocol;
    Alarm m_alarm; // the deadline, or the end of a held step
    Clock::time_point m_deadline;
    Clock::time_point m_stepStarted; // a step was held back or went to the worker pool
    bool m_stepWaiting = false;      // a step is held back or with the worker pool
    bool m_atDialog = false;         // no sign-in begun: the dialog's clock runs
    SignInProtocol::State m_step = SignInProtocol::State::AwaitingCommand; // the state the last message found
    unsigned m_refusals = 0;
};

} // namespace vesmira
