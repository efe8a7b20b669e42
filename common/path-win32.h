// Long paths on Windows. The file calls take paths past MAX_PATH in their
// extended form; process creation and the profile call take no such form, so
// they are given the short (8.3) form of the folder instead.
#pragma once

#include <windows.h>

#include "common/text.h"

// The folder of a path, without its separator, and the name in it.
inline Text FolderOf(const Text& path) { return path.substr(0, path.find_last_of(L'\\')); }
inline Text NameOf(const Text& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// A folder's path as the file calls take it: "C:" alone names the current
// folder of drive C, not its root.
inline Text FolderPath(const Text& directory) {
  return !directory.empty() && directory.back() == L':' ? directory + L'\\' : directory;
}

inline Text ExtendedPath(const Text& path) {
  if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// The path with its folder in short form when the whole is too long for
// calls that know no extended paths; unchanged when short enough or when the
// volume keeps no short names.
inline Text ShortFormIfLong(const Text& path) {
  size_t separator = path.find_last_of(L'\\');
  if (path.size() < MAX_PATH || separator == Text::npos) return path;
  const Text folder = ExtendedPath(path.substr(0, separator));
  DWORD size = GetShortPathNameW(folder.c_str(), nullptr, 0);
  if (size == 0) return path;
  Text short_folder(size, L'\0');
  size = GetShortPathNameW(folder.c_str(), &short_folder[0], size);
  if (size == 0 || size >= short_folder.size()) return path;
  short_folder.resize(size);
  if (short_folder.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    short_folder = L"\\\\" + short_folder.substr(8);
  } else if (short_folder.compare(0, 4, L"\\\\?\\") == 0) {
    short_folder = short_folder.substr(4);
  }
  return short_folder + path.substr(separator);
}
