#include "tools/kvsetup/setup_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

namespace kv::setup {
namespace fs = std::filesystem;

const std::vector<InstalledFile>& FileTable() {
  static const std::vector<InstalledFile> table = {
      {"kvemu", "drivers/kvemu", FileOrigin::Programs}, {"KVService", "KVService", FileOrigin::Programs},
      {"KVHELPER", "KVHELPER", FileOrigin::Programs},   {kPlugInName, kPlugInName, FileOrigin::Programs},
      {"kvctl", "kvctl", FileOrigin::Programs},         {"kvexport", "kvexport", FileOrigin::Programs},
      {"kvreg", "kvreg", FileOrigin::Programs},         {"kvsetup", "kvsetup", FileOrigin::Programs},
      {"7z.so", "7z.so", FileOrigin::InstallTree},
  };
  return table;
}

std::vector<std::pair<fs::path, std::string>> FilesToCopy(const SourceFolders& from,
                                                          std::vector<std::string>* missing) {
  std::vector<std::pair<fs::path, std::string>> files;
  std::error_code ec;
  for (const InstalledFile& f : FileTable()) {
    const fs::path source = (f.origin == FileOrigin::Programs ? from.programs : from.installTree) / f.source;
    if (fs::exists(fs::symlink_status(source, ec)) && fs::exists(source, ec)) {
      files.emplace_back(source, f.target);
    } else {
      missing->push_back(source.string());
    }
  }
  std::vector<fs::path> languages;
  for (fs::directory_iterator it(from.installTree / "Lang", ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".lng" && it->is_regular_file(ec)) languages.push_back(it->path());
  }
  std::sort(languages.begin(), languages.end());
  if (languages.empty()) missing->push_back((from.installTree / "Lang" / "*.lng").string());
  for (const fs::path& p : languages) files.emplace_back(p, "Lang/" + p.filename().string());
  return files;
}

bool PrepareFolder(const fs::path& folder, std::string* reason) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *reason = "cannot create " + folder.string() + ": " + ec.message();
    return false;
  }
  if (!fs::is_directory(folder, ec)) {
    *reason = folder.string() + " is not a folder";
    return false;
  }
  const fs::path probe = folder / ".kvsetup-probe";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *reason = "cannot write to " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  unlink(probe.c_str());
  return true;
}

namespace {

fs::path Staged(const fs::path& target) {
  return target.string() + ".kvsetup-new";
}

// Beside the target under a new name; renamed over it once every file is there.
bool StageOne(const fs::path& source, const fs::path& target, std::string* reason) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  const fs::path staged = Staged(target);
  fs::remove(staged, ec);
  ec.clear();
  if (fs::is_symlink(source, ec)) {
    fs::create_symlink(fs::read_symlink(source, ec), staged, ec);
  } else {
    fs::copy_file(source, staged, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::permissions(staged, fs::status(source).permissions(), ec);
  }
  if (ec) {
    *reason = "cannot copy " + source.string() + " to " + target.parent_path().string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

// All files are staged first, so that a full disk leaves an earlier installation as it was; a
// program that runs keeps its file when the new one is renamed over it.
bool CopyFiles(const std::vector<std::pair<fs::path, std::string>>& files, const fs::path& folder,
               std::string* reason) {
  std::error_code ec;
  for (size_t i = 0; i < files.size(); ++i) {
    if (!StageOne(files[i].first, folder / files[i].second, reason)) {
      for (size_t j = 0; j <= i; ++j) fs::remove(Staged(folder / files[j].second), ec);
      return false;
    }
  }
  for (const auto& [source, target] : files) {
    fs::rename(Staged(folder / target), folder / target, ec);
    if (ec) {
      *reason = "cannot place " + (folder / target).string() + ": " + ec.message();
      return false;
    }
  }
  std::ofstream list(folder / kFileListName, std::ios::trunc);
  for (const auto& file : files) list << file.second << '\n';
  list.flush();
  if (!list) {
    *reason = "cannot write " + (folder / kFileListName).string();
    return false;
  }
  return true;
}

std::vector<std::string> RemoveFiles(const fs::path& folder) {
  std::vector<std::string> names;
  std::ifstream list(folder / kFileListName);
  std::string line;
  // Only plain relative names inside the folder are taken from the list.
  while (names.size() < 10000 && std::getline(list, line)) {
    if (!line.empty() && line[0] != '/' && line.find("..") == std::string::npos) names.push_back(line);
  }
  // Without the list nothing is known to be ours: a folder given by mistake loses nothing.
  std::error_code ec;
  if (!fs::exists(folder / kFileListName, ec)) return {};
  names.push_back(kFileListName);
  std::vector<std::string> left;
  std::set<fs::path> folders;
  for (const std::string& n : names) {
    const fs::path p = folder / n;
    if (fs::exists(fs::symlink_status(p, ec)) && !fs::remove(p, ec)) left.push_back(p.string() + ": " + ec.message());
    for (fs::path parent = p.parent_path(); parent != folder && parent.string().size() > folder.string().size();
         parent = parent.parent_path())
      folders.insert(parent);
  }
  // Deepest first; a folder that still holds something of someone else's stays.
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) fs::remove(*it, ec);
  fs::remove(folder, ec);
  return left;
}

}  // namespace kv::setup
