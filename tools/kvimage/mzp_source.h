// MZP containers in kvimage: their MARFS volume as a bridge image (build, info, read).
#pragma once
#include <memory>
#include <string>

#include "service/image_builder.h"
#include "service/marfs_volume.h"

namespace kv::kvimage {

// True when the file starts with an MZP signature (main header or later volume).
bool IsMzpFile(const std::string& path);

// The key bytes of a password typed as UTF-8: its text in the system's ANSI code page, as the
// service derives them from a mount command, so that a container packed here mounts there.
std::string MzpKeyBytes(const std::string& utf8Password);

// Opens the container (password as typed, UTF-8) and enters its volume into `builder` (volume identifier: the file
// name, as a mount sets it). Null with *error on failure.
std::unique_ptr<service::MzpVolumeSource> OpenMzpVolume(const std::string& path, const std::string& password,
                                                        service::ImageBuilder& builder, std::string* error);

// `kvimage info` and `kvimage read` of an MZP container.
int MzpInfo(const std::string& path, const std::string& password, bool json);
int MzpRead(const std::string& path, const std::string& password, int64_t first, int64_t count);

}  // namespace kv::kvimage
