#include "service_token.h"

#include "util/atomic_file.h"
#include "util/random_token.h"
#include "util/secret_file.h"
#include "util/tool_errors.h"

namespace brivant::tool {

std::string serviceToken(const std::optional<Station>& station, const EventLog& log) {
    if (!station || station->tokenFile.empty()) {
        return randomToken();
    }
    const std::string& path = station->tokenFile;
    std::optional<std::string> line = readSecretLine(path, "the token file");
    if (!line) {
        std::string token = randomToken();
        replaceFile(path, token + "\n", 0600);
        log.note("info", "token-made", "made a new token in " + path);
        return token;
    }
    std::string token = *line;
    while (!token.empty() && (token.back() == '\r' || token.back() == ' ')) {
        token.pop_back();
    }
    if (token.size() < 16 || token.find_first_of(" \t") != std::string::npos) {
        throw UsageError("the token file " + path +
                         " must hold a token of at least 16 characters, without spaces, on its "
                         "first line");
    }
    if (othersCanRead(path)) {
        log.note("warning", "token-readable",
                 "the token file " + path + " can be read by every user (chmod o-r it; its group may read it)");
    }
    return token;
}

} // namespace brivant::tool
