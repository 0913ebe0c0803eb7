// Files that hold a secret: the API token, the broker's password.
#pragma once

#include <optional>
#include <string>

namespace brivant::tool {

// The file's first line without its line end; nullopt when there is no
// such file. One that is there and cannot be read throws InputError, naming
// it as `what` ("the token file").
std::optional<std::string> readSecretLine(const std::string& path, const std::string& what);

// True when every user may read the file: one holding a secret should be
// readable by its owner and, when shared on purpose, its group only.
// Always false on Windows.
bool othersCanRead(const std::string& path);

} // namespace brivant::tool
