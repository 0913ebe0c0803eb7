// An HTTP request, as any client on the network may send it, through the
// server's guard and API to the station's units: any bytes get an answer or
// a closed connection, never a crash or an exception out of the server.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_require.h"
#include "served_station.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    brivant::fuzz::ServedStation& served = brivant::fuzz::servedStation();
    // Half the inputs carry the right token, so that what lies behind the
    // guard is reached too.
    std::string request(reinterpret_cast<const char*>(data), size);
    if (size > 0 && (data[0] & 1) != 0) {
        const std::size_t end = request.find("\r\n");
        if (end != std::string::npos) {
            const std::string host = served.server->base().substr(std::string("http://").size());
            request.insert(end + 2, std::string("X-Brivant-Token: ") + served.token() + "\r\nHost: " +
                                        host + "\r\n");
        }
    }
    const std::string answer = served.server->answerRaw(request);
    require(answer.empty() || answer.rfind("HTTP/1.1 ", 0) == 0, "an answer is HTTP or nothing");
    return 0;
}
