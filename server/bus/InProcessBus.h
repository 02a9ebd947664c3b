#pragma once

#include "server/bus/PresenceBook.h"
#include "server/bus/RelayBus.h"

namespace vesmira {

// The relay of a single server: each record goes to the members at once, on the relay thread.
class InProcessBus final : public RelayBus {
public:
    // Nothing is ever lost in process.
    void start(Deliver deliver, Lost) override { m_deliver = std::move(deliver); }
    bool publish(const Record& record, Excluded excluded) override {
        if (m_deliver) {
            m_deliver(record, excluded);
        }
        return true;
    }
    void signedIn(const std::string& id, Excluded excluded) override {
        if (m_book.add(id) == 1) {
            publish(PresenceBook::joined(id), excluded);
        }
    }
    void signedOut(const std::string& id) override {
        if (m_book.remove(id) == 0u) {
            publish(PresenceBook::left(id), Excluded::Nobody);
        }
    }
    void stop() override { m_deliver = nullptr; }

private:
    Deliver m_deliver;
    PresenceBook m_book;
};

} // namespace vesmira
