// Fuzz inputs that stand for a set of files, and the scratch directories
// they are unpacked into.
//
// A packed input is a run of entries, each
//   u8 name length, the name, u32 (little-endian) data length, the data.
// A cut-off last entry keeps the bytes it has, so every mutation of a packed
// input still unpacks into files. Names are kept only when they are plain
// file names (letters, digits, '.', '_', '-', not starting with '.'), so an
// input can never reach outside its scratch directory.
#ifndef ZANDREL_FUZZ_CONTAINER_H
#define ZANDREL_FUZZ_CONTAINER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fz {

struct FileEntry {
  std::string name;
  std::string data;
};

std::vector<FileEntry> UnpackFiles(const std::uint8_t* p, std::size_t n);
std::string PackFiles(const std::vector<FileEntry>& files);
bool PlainFileName(const std::string& name);

// A fresh directory under $TMPDIR (or /tmp); removed at process exit.
std::string MakeScratchDir(const char* tag);
// Every function here repeats a system call that a signal interrupted, and
// aborts when a directory or file of an input cannot be made.
//
// Creates the directory `dir` unless it exists.
void MakeDir(const std::string& dir);
// Removes everything inside `dir` (not `dir` itself).
void ClearDir(const std::string& dir);
// Writes each entry as dir/name; later entries of one name replace earlier.
void WriteFiles(const std::string& dir, const std::vector<FileEntry>& files);
// The regular files of `dir` as entries, sorted by name.
std::vector<FileEntry> ReadFiles(const std::string& dir);
// Copies the tree `from` into `to` (which exists).
void CopyTree(const std::string& from, const std::string& to);

}  // namespace fz

#endif
