#include "RelayFramer.h"

#include <algorithm>

namespace {

// Takes the messages at the front of `data`; returns how many bytes they took. What is left starts a message that
// only more bytes (or, when `quiet`, nothing more) can complete.
std::size_t takeMessages(std::string_view data, bool quiet, const RelayFramer::LineSink& onLine) {
    constexpr std::size_t kRecord = vesmira::kRecordSize;
    std::size_t taken = 0;
    while (true) {
        while (taken < data.size() && data[taken] == '\0') {
            ++taken;
        }
        std::string_view rest = data.substr(taken);
        if (rest.empty()) {
            return taken;
        }
        // A record and a shorter message glued in front of it span less than two records.
        std::size_t nul = rest.substr(0, 2 * kRecord).find('\0');
        if (nul == std::string_view::npos) {
            if (rest.size() == kRecord || rest.size() >= 2 * kRecord || (quiet && rest.size() > kRecord)) {
                onLine(rest.substr(0, kRecord)); // a record without NUL is all text
                taken += kRecord;
                continue;
            }
            if (quiet) {
                onLine(rest);
                taken += rest.size();
            }
            return taken;
        }
        // The fill after the text ends where the record ends. A fill reaching 500 bytes past the text is longer
        // than any record's: the stray rest is skipped as leading fill next time round.
        std::size_t fillLimit = std::min(rest.size(), nul + kRecord);
        std::size_t fillEnd = nul;
        while (fillEnd < fillLimit && rest[fillEnd] == '\0') {
            ++fillEnd;
        }
        bool firstBlockWhole = fillEnd == kRecord || fillEnd == nul + kRecord || fillEnd >= 2 * kRecord;
        if (firstBlockWhole) {
            // The first 500 bytes are a record: its text ends at its NUL, or, without one, it is all text.
            onLine(rest.substr(0, std::min(nul, kRecord)));
            taken += kRecord;
            continue;
        }
        if (fillEnd == rest.size() && !quiet) {
            return taken; // the fill may go on
        }
        if (fillEnd > kRecord) {
            // A shorter message was written just before this record.
            std::size_t recordStart = fillEnd - kRecord;
            onLine(rest.substr(0, recordStart));
            onLine(rest.substr(recordStart, nul - recordStart));
        } else {
            onLine(rest.substr(0, nul)); // a message shorter than a record
        }
        taken += fillEnd;
    }
}

} // namespace

void RelayFramer::feed(std::string_view bytes, const LineSink& onLine) {
    if (m_pending.empty()) {
        m_pending.assign(bytes.substr(takeMessages(bytes, false, onLine)));
        return;
    }
    m_pending.append(bytes);
    m_pending.erase(0, takeMessages(m_pending, false, onLine));
}

void RelayFramer::flush(const LineSink& onLine) {
    takeMessages(m_pending, true, onLine);
    m_pending.clear();
}
