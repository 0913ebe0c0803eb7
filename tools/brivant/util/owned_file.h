// A C stdio file closed when it goes out of scope.
#pragma once

#include <cstdio>
#include <memory>

namespace brivant::tool {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

using OwnedFile = std::unique_ptr<std::FILE, FileCloser>;

} // namespace brivant::tool
