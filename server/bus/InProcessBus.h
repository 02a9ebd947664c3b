#pragma once

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
    void stop() override { m_deliver = nullptr; }

private:
    Deliver m_deliver;
};

} // namespace vesmira
