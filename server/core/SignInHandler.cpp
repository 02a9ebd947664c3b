#include "server/core/SignInHandler.h"

#include "protocol/SignInWords.h"
#include "server/core/ChatServer.h"
#include "server/core/GuardedQuery.h"
#include "server/core/ServerSettings.h"
#include "server/log/LogText.h"
#include "server/metrics/ServerStats.h"
#include "server/workers/WorkerPool.h"

#include <utility>

namespace vesmira {

namespace {

SendQueue::Bytes constantBytes(std::string_view text) {
    return std::make_shared<const std::string>(text);
}

const SendQueue::Bytes kGreetingBytes = constantBytes(kGreeting);
const SendQueue::Bytes kAcceptBytes = constantBytes(kAccept);
const SendQueue::Bytes kRefuseBytes = constantBytes(kRefuse);

} // namespace

SignInHandler::SignInHandler(Client& client, ChatServer& server, WorkerPool& workers, UserDirectory& users,
                             const ServerSettings& settings, std::string holder, std::string address,
                             const asio::any_io_executor& executor)
    : m_client(client), m_server(server), m_workers(workers), m_users(users), m_settings(settings),
      m_holder(std::move(holder)), m_address(std::move(address)), m_alarm(executor) {
    m_protocol.setRegistration(settings.registration);
}

void SignInHandler::start(Clock::time_point since) {
    m_client.send(kGreetingBytes);
    restartClock(true, since);
}

void SignInHandler::restartClock(bool atDialog, Clock::time_point from) {
    m_atDialog = atDialog;
    m_deadline = from + (atDialog ? m_settings.dialogTimeout : m_settings.signInTimeout);
    armDeadline();
}

void SignInHandler::stop() {
    m_alarm.cancel();
    if (m_protocol.holdsId() && !m_stepWaiting) {
        releaseId(m_protocol.userId());
    }
}

void SignInHandler::armDeadline() {
    m_alarm.set(m_deadline, m_client.keepAlive(), [this] { onDeadline(); });
}

void SignInHandler::onDeadline() {
    if (m_client.closed() || m_stepWaiting) {
        return; // re-armed when the step is done
    }
    if (Clock::now() >= m_deadline) {
        m_client.timedOut(m_atDialog);
    } else {
        armDeadline();
    }
}

void SignInHandler::pauseClock() {
    m_stepWaiting = true;
    m_stepStarted = Clock::now();
    m_alarm.cancel();
}

void SignInHandler::resumeClock() {
    m_stepWaiting = false;
    m_deadline += Clock::now() - m_stepStarted;
}

template <typename Then> void SignInHandler::holdUntil(Clock::time_point at, Then then) {
    pauseClock();
    m_alarm.set(at, m_client.keepAlive(), [this, then = std::move(then)]() mutable {
        resumeClock();
        if (!m_client.closed()) {
            then();
        }
    });
}

void SignInHandler::handle(std::string_view message) {
    const SignInProtocol::State stepState = m_protocol.state();
    m_step = stepState;
    if (m_atDialog) {
        restartClock(false, Clock::now());
    }
    const bool registering = m_protocol.holdsId();
    const std::string heldId = registering ? m_protocol.userId() : std::string();
    SignInProtocol::Step step = m_protocol.begin(message);
    if (step.outcome) {
        if (registering && !m_protocol.holdsId()) {
            releaseId(heldId); // a password refused before the store was asked
        }
        if (step.outcome->failedAuthentication) {
            // An ID or password that cannot exist: decided here, but slowed and counted as any failure.
            submit({std::nullopt, m_protocol.failedId(), m_address}, registering, stepState, step.outcome);
            return;
        }
        onOutcome(*step.outcome, registering, stepState);
        return;
    }
    submit(GuardedQuery::of(std::move(*step.query), m_address), registering, stepState);
}

void SignInHandler::submit(GuardedQuery step, bool registering, SignInProtocol::State stepState,
                           std::optional<SignInProtocol::Outcome> decided) {
    pauseClock();
    const bool mayHold = step.query && step.query->mayHold();
    m_workers.submit([&users = m_users, &gate = m_server.guessGate(), &stats = m_server.stats(), step,
                      holder = m_holder] { return step.run(users, gate, holder, stats); },
                     [this, alive = m_client.keepAlive(), registering, stepState, mayHold, step,
                      decided](GuardedQuery::Result result) mutable {
                         m_server.noteWorkQueue();
                         resumeClock();
                         if (result.retryAfter) {
                             if (m_client.closed()) {
                                 return; // the query did not run: nothing to give back, nothing to keep alive for
                             }
                             // Another check for the same account or address is in flight, or its refusal is held back:
                             // this one waits, reading nothing, and asks again.
                             holdUntil(Clock::now() + *result.retryAfter,
                                       [this, step = std::move(step), registering, stepState, decided]() mutable {
                                           submit(std::move(step), registering, stepState, decided);
                                       });
                             return;
                         }
                         // An ID the store may hold for this connection is given back unless the registration goes on
                         // (or is done) with it.
                         const std::string& id = step.query ? step.query->id : step.account;
                         const bool release = mayHold && result.answer != UserDirectory::Answer::No;
                         if (m_client.closed()) {
                             if (release) {
                                 releaseId(id);
                             }
                             return;
                         }
                         const SignInProtocol::Outcome outcome = decided ? *decided : m_protocol.finish(result.answer);
                         if (release && !m_protocol.holdsId() && !m_protocol.signedIn()) {
                             releaseId(id);
                         }
                         onOutcome(outcome, registering, stepState,
                                   result.failed ? std::optional(result.holdBack) : std::nullopt, id);
                     });
    m_server.noteWorkQueue();
}

void SignInHandler::releaseId(const std::string& id) {
    if (m_server.stopping()) {
        return; // a store that keeps holds elsewhere lets them expire
    }
    m_workers.submit(
        [&users = m_users, id, holder = m_holder] {
            users.release(id, holder);
            return true;
        },
        [](bool) {});
}

void SignInHandler::onOutcome(const SignInProtocol::Outcome& outcome, bool registering, SignInProtocol::State stepState,
                              std::optional<std::chrono::milliseconds> failedFor, std::string_view id) {
    using Step = ServerStats::Step;
    std::optional<Step> step;
    switch (stepState) {
    case SignInProtocol::State::AwaitingEntryId:
        step = Step::EntryId;
        break;
    case SignInProtocol::State::AwaitingEntryPassword:
        step = Step::EntryPassword;
        break;
    case SignInProtocol::State::AwaitingJudgeUser:
        step = Step::User;
        break;
    case SignInProtocol::State::AwaitingJudgePassword:
        step = Step::Password;
        break;
    case SignInProtocol::State::AwaitingCommand:
    case SignInProtocol::State::SignedIn:
        break;
    }
    if (step) {
        m_server.stats().signInStep(*step, outcome.accepted      ? ServerStats::Result::Accepted
                                           : outcome.unavailable ? ServerStats::Result::Unavailable
                                                                 : ServerStats::Result::Refused);
    }
    if (!failedFor) {
        reply(outcome, registering);
        return;
    }
    // One line of fixed form per failure, for fail2ban: the address first, from the socket (or the proxy's
    // header), and what the client sent only after it, escaped. A registration refused because the ID is taken
    // tells a prober as much as a sign-in would, and is logged alike.
    const bool authentication = outcome.failedAuthentication;
    if (authentication) {
        m_server.stats().authenticationFailed();
    }
    m_client.log(LogLevel::Warn, std::string(authentication ? "authentication failed" : "registration refused") +
                                     ": address " + m_address + ", " + std::string(outcome.reason) + ", user \"" +
                                     LogText::fromCp932(authentication ? m_protocol.failedId() : id) +
                                     "\", refusal held back " + std::to_string(failedFor->count()) + " ms");
    holdUntil(Clock::now() + *failedFor, [this, outcome, registering] { reply(outcome, registering); });
}

void SignInHandler::reply(const SignInProtocol::Outcome& outcome, bool registering) {
    if (!m_client.send(outcome.accepted ? kAcceptBytes : kRefuseBytes)) {
        return;
    }
    if (!outcome.accepted) {
        m_client.log(LogLevel::Info, "sign-in refused: " + std::string(outcome.reason));
        if (++m_refusals >= m_settings.maxRefusals) {
            m_client.refusedTooOften();
            return;
        }
        // A run refused after its command word leaves the person at the dialog again, retyping. One refused at the
        // command word itself was not begun by the client's dialog, which sends nothing else there.
        if (m_step != SignInProtocol::State::AwaitingCommand) {
            restartClock(true, Clock::now());
        }
    } else if (m_protocol.signedIn()) {
        m_alarm.cancel();
        m_client.signedIn(registering);
        return;
    }
    if (!m_alarm.armed()) {
        armDeadline();
    }
    m_client.readNextMessage();
}

} // namespace vesmira
