#include "service/temp_folder.h"

#include <filesystem>

#include "platform/files.h"

namespace kv::service {

namespace fs = std::filesystem;

std::string TempFolders::Prepare(const std::string& configured) {
  std::string base = configured.empty() ? platform::GetTempPath() : configured;
  if (base.back() != '/') base += '/';
  const fs::path folder = fs::path(base + kTempFolderName);
  std::error_code ec;
  const auto st = fs::symlink_status(folder, ec);
  // A plain file (or a link) in the way is removed; a link is never followed into.
  if (!ec && st.type() != fs::file_type::directory && st.type() != fs::file_type::not_found) fs::remove(folder, ec);
  fs::create_directories(folder, ec);
  if (!fs::is_directory(fs::symlink_status(folder, ec))) return {};
  const std::string result = folder.string() + "/";
  std::lock_guard<std::mutex> g(lock_);
  if (remembered_.empty() || remembered_.front() != result) remembered_.push_back(result);
  current_ = result;
  return result;
}

void TempFolders::Clean() {
  std::vector<std::string> folders = Remembered();
  for (const auto& f : folders) {
    std::error_code ec;
    // remove_all removes links themselves and never follows them out of the folder.
    fs::remove_all(fs::path(f), ec);
  }
}

std::string TempFolders::Current() const {
  std::lock_guard<std::mutex> g(lock_);
  return current_;
}

std::vector<std::string> TempFolders::Remembered() const {
  std::lock_guard<std::mutex> g(lock_);
  return remembered_;
}

}  // namespace kv::service
