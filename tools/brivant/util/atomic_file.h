// Writing a file whole or not at all, for serve's station changes, its
// token and its runtime file. A reader (another serve, the tool, an editor)
// sees the old file or the new one, never a part; a power cut leaves one of
// the two on disk.
#pragma once

#include <string>

namespace brivant::tool {

// Replaces `path` with `text`: a new file with a unique name in the same
// folder, written and synced, renamed over the old one, and the folder
// synced so that the rename is on disk too.
//   - A symbolic link is followed: the file it names is replaced and the
//     link stays.
//   - An existing file keeps its mode, and its owner and group where this
//     process may set them; a new one gets `newMode` (umask not applied).
// Throws OutputError naming the file and the reason; the old file is then
// untouched and no temporary is left.
void replaceFile(const std::string& path, const std::string& text, unsigned newMode = 0644);

} // namespace brivant::tool
