// Small path and directory helpers for the bundle code. Paths are plain
// strings; nothing here follows a symbolic link unless its name says so.
#pragma once

#include <string>

namespace le::fs {

// Removes trailing slashes but never the first character ("/" stays "/").
std::string rstripSlash(const std::string& p);
// Text after the last slash.
std::string baseName(const std::string& p);
// Text before the last slash after stripping trailing slashes; "." without a
// slash, "/" when the only slash is the first character.
std::string dirName(const std::string& p);

// Creates p and its missing parents with mode 0755. "", "." and "/" count as
// existing; true when p is a directory afterwards (a concurrent creator wins).
bool mkdirs(const std::string& p);
// Removes a tree without following symbolic links; a missing path is fine.
// True when nothing remains at p.
bool rmTree(const std::string& p);

bool isDirectory(const std::string& p);    // follows links
bool isRegularFile(const std::string& p);  // follows links
bool existsNoFollow(const std::string& p);
bool exists(const std::string& p);         // follows links; anything at all
// A regular file that opens for reading. Never blocks: a FIFO, a device or a
// directory is not readable in this sense.
bool readable(const std::string& p);

}  // namespace le::fs
