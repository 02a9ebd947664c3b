#include "FuzzCheck.h"
#include "server/metrics/HttpEndpoint.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// Any bytes a peer of the metrics port sends: a request line is found only where there is one, and what it gives
// lies within the line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    const auto request = vesmira::HttpEndpoint::parseRequestLine(head);
    const std::size_t end = head.find("\r\n");
    if (!request) {
        return 0;
    }
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view line = head.substr(0, end);
    const auto within = [&](std::string_view part) {
        return part.data() >= line.data() && part.data() + part.size() <= line.data() + line.size();
    };
    FUZZ_CHECK(!request->method.empty() && within(request->method) && within(request->path));
    FUZZ_CHECK(request->method.find(' ') == std::string_view::npos);
    FUZZ_CHECK(request->path.find_first_of(" ?") == std::string_view::npos);
    FUZZ_CHECK(line.starts_with(request->method) && line.find(" HTTP/1.") != std::string_view::npos);
    return 0;
}
