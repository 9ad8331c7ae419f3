// Sources of `kvimage build` other than a folder. An archive reader adds one source file to this
// folder that sets the opener when the program starts:
//   static kv::kvimage::RegisterArchiveOpener reg([](const std::string& path, const ArchiveOptions& options,
//       ImageBuilder& builder, std::unique_ptr<ItemDataSource>* data, std::string* error) { ... });
// The opener enters the items into `builder`, gives it the object that reads their bytes (kept
// alive in *data while the image is written) and returns false with a reason on failure.
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "service/image_builder.h"

namespace kv::kvimage {

struct ArchiveOptions {
  std::optional<std::string> password;
  std::optional<std::string> installDir;  // folder of the codec library
};

using ArchiveSourceOpener =
    std::function<bool(const std::string& path, const ArchiveOptions& options, service::ImageBuilder& builder,
                       std::unique_ptr<service::ItemDataSource>* data, std::string* error)>;

ArchiveSourceOpener& ArchiveOpener();

struct RegisterArchiveOpener {
  explicit RegisterArchiveOpener(ArchiveSourceOpener opener) { ArchiveOpener() = std::move(opener); }
};

}  // namespace kv::kvimage
