// The service's temporary folder: "$Korvendrake$" under the configured folder or the system's
// temporary path. Every folder that has served is remembered so that it can be cleaned.
#pragma once
#include <mutex>
#include <string>
#include <vector>

namespace kv::service {

inline constexpr const char* kTempFolderName = "$Korvendrake$";

class TempFolders {
 public:
  // `configured` is the TempFolder setting (empty: the system's temporary path). Returns the
  // folder with a trailing "/", or empty when it cannot be created.
  std::string Prepare(const std::string& configured);
  // Deletes every file and subfolder of each remembered folder, and the folders themselves.
  void Clean();
  // The folder of the last Prepare (empty before).
  std::string Current() const;
  std::vector<std::string> Remembered() const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> remembered_;
  std::string current_;
};

}  // namespace kv::service
