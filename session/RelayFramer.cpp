#include "RelayFramer.h"

#include <algorithm>

namespace {

constexpr std::size_t kRecord = vesmira::kRecordSize;

} // namespace

std::size_t RelayFramer::skipRestOfRecord(std::string_view data) {
    std::size_t limit = std::min(m_restOfRecord, data.size());
    std::size_t skipped = 0;
    while (skipped < limit && (!m_restIsFill || data[skipped] == '\0')) {
        ++skipped;
    }
    m_restOfRecord = skipped < limit ? 0 : m_restOfRecord - skipped;
    return skipped;
}

// Takes the messages at the front of `data`; returns how many bytes they took. What is left starts a message that
// only more bytes (or, when `finished`, nothing more) can complete.
std::size_t RelayFramer::take(std::string_view data, bool finished, const LineSink& onLine) {
    std::size_t taken = 0;
    // A record is the 500 bytes from the front of `rest`; the rest of it is dropped, or skipped as fill.
    const auto takeRecord = [&](std::string_view rest, std::size_t textLength, bool restIsFill) {
        onLine(rest.substr(0, textLength));
        std::size_t present = std::min(rest.size(), kRecord);
        taken += present;
        m_restOfRecord = kRecord - present;
        m_restIsFill = restIsFill;
        m_afterText = textLength == kRecord;
    };
    const auto takeShortThenRecord = [&](std::string_view rest, std::size_t recordStart, std::size_t nul) {
        onLine(rest.substr(0, recordStart));
        onLine(rest.substr(recordStart, nul - recordStart));
        taken += recordStart + kRecord;
        m_afterText = false;
    };
    while (true) {
        taken += skipRestOfRecord(data.substr(taken));
        if (m_restOfRecord > 0) {
            return taken;
        }
        while (taken < data.size() && data[taken] == '\0') {
            ++taken;
        }
        std::string_view rest = data.substr(taken);
        if (rest.empty()) {
            return taken;
        }
        const std::size_t size = rest.size();
        // A record and a shorter message glued in front of it span less than two records.
        const std::size_t nul = rest.substr(0, 2 * kRecord).find('\0');
        if (nul == std::string_view::npos) {
            if (size == kRecord || size >= 2 * kRecord || (finished && size > kRecord)) {
                takeRecord(rest, kRecord, false); // a record without NUL is all text
            } else if (finished) {
                onLine(rest); // a shorter message
                taken += size;
                m_afterText = true;
            } else {
                return taken;
            }
            continue;
        }
        std::size_t fillEnd = nul;
        while (fillEnd < size && rest[fillEnd] == '\0') {
            ++fillEnd;
        }
        const bool fillEnded = fillEnd < size;
        if (nul >= kRecord) {
            // The first 500 bytes are text: a record without NUL, unless the fill after the NUL ends less than two
            // records from here, where a record that began after a shorter message ends.
            if (fillEnded && fillEnd < 2 * kRecord) {
                takeShortThenRecord(rest, fillEnd - kRecord, nul);
            } else if (fillEnded || size >= 2 * kRecord || finished) {
                takeRecord(rest, kRecord, false);
            } else {
                return taken;
            }
            continue;
        }
        if (fillEnded && fillEnd < kRecord) {
            if (m_afterText) {
                // Text inside what would be this record: the record began before the message taken last.
                onLine(rest.substr(0, nul));
                taken += fillEnd;
                m_afterText = false;
            } else {
                takeRecord(rest, nul, false); // text after the record's NUL is not a line
            }
            continue;
        }
        if (fillEnded && fillEnd > kRecord && fillEnd < nul + kRecord) {
            takeShortThenRecord(rest, fillEnd - kRecord, nul);
            continue;
        }
        if (!fillEnded && size != kRecord && size < nul + kRecord && !finished) {
            return taken; // the fill may go on, and where it ends tells where the record began
        }
        // The fill ends where this record ends, runs on past any record that began after a shorter message, or
        // nothing more can tell: the record starts here.
        takeRecord(rest, nul, m_afterText);
    }
}

void RelayFramer::feed(std::string_view bytes, const LineSink& onLine) {
    if (m_pending.empty()) {
        m_pending.assign(bytes.substr(take(bytes, false, onLine)));
        return;
    }
    m_pending.append(bytes);
    m_pending.erase(0, take(m_pending, false, onLine));
}

void RelayFramer::flush(const LineSink& onLine) {
    take(m_pending, true, onLine);
    m_pending.clear();
}
