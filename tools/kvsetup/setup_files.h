// The files of an installation: where each comes from in the build and where it goes in the
// install folder, copied so that a running old copy is replaced, not overwritten, and recorded in
// a list that the removal reads back.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

namespace kv::setup {

enum class FileOrigin { Programs, InstallTree };

struct InstalledFile {
  const char* source;  // relative to its origin folder
  const char* target;  // relative to the install folder
  FileOrigin origin;
};

// Every program, the plug-in and the codec library link.
const std::vector<InstalledFile>& FileTable();
// The list of installed files inside the install folder.
inline constexpr char kFileListName[] = "kvsetup.files";
inline constexpr char kPlugInName[] = "libKvdInstOpt.so";

struct SourceFolders {
  std::filesystem::path programs;     // the build's bin folder (kvsetup's own)
  std::filesystem::path installTree;  // the build's install tree (codec library, Lang/)
};

// What would be copied, as (source, target relative to the folder); `missing` names what is absent.
std::vector<std::pair<std::filesystem::path, std::string>> FilesToCopy(const SourceFolders& from,
                                                                       std::vector<std::string>* missing);

// Creates `folder` and proves it writable; false with a reason.
bool PrepareFolder(const std::filesystem::path& folder, std::string* reason);
// Copies every file (a symbolic link stays a link) and writes the list; when a copy fails nothing
// in the folder has changed and the reason is given.
bool CopyFiles(const std::vector<std::pair<std::filesystem::path, std::string>>& files,
               const std::filesystem::path& folder, std::string* reason);
// Removes the files of the list (nothing without one) and then the folders that became empty, the
// install folder last. Returns what could not be removed.
std::vector<std::string> RemoveFiles(const std::filesystem::path& folder);

}  // namespace kv::setup
