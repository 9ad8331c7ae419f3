// The object namespace: directories, devices and symbolic links under one lock. Names compare
// case-insensitively, as Windows object names do. "\DosDevices", "\??" and "\DosDevices\Global"
// are spellings of the global DOS device directory, kept as "\GLOBAL??".
#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <new>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

enum class Kind { Directory, Device, Link };

struct Entry {
  Kind kind = Kind::Directory;
  std::string spelled;  // the name as created
  DeviceObject* device = nullptr;
  std::string target;  // links
  bool temporary = false;
  bool permanent = false;  // the predefined directories
};

constexpr size_t kMaxLinkHops = 32;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

// Canonical spelling, or empty when the name is malformed (relative, empty components).
std::string Canonical(const std::string& name) {
  static const char* const kDosSpellings[] = {"\\DosDevices\\Global", "\\DosDevices", "\\??", "\\GLOBAL??"};
  if (name.empty() || name[0] != '\\') return {};
  if (name.find('\0') != std::string::npos) return {};
  std::string rest = name;
  for (const char* spelling : kDosSpellings) {
    const std::string p = spelling;
    if (StartsWithNoCase(rest, p) && (rest.size() == p.size() || rest[p.size()] == '\\')) {
      rest = "\\GLOBAL??" + rest.substr(p.size());
      break;
    }
  }
  // "\GLOBAL??\Global\X" is the same directory again.
  if (StartsWithNoCase(rest, "\\GLOBAL??\\Global\\")) rest = "\\GLOBAL??" + rest.substr(16);
  if (rest.size() > 1 && rest.back() == '\\') return {};
  if (rest.find("\\\\") != std::string::npos) return {};
  return rest;
}

std::string Parent(const std::string& canonical) {
  const size_t cut = canonical.rfind('\\');
  return cut == 0 ? std::string("\\") : canonical.substr(0, cut);
}

class Namespace {
 public:
  Namespace() {
    for (const char* d : {"\\", "\\Device", "\\GLOBAL??", "\\BaseNamedObjects"}) {
      Entry e;
      e.spelled = d;
      e.permanent = true;
      entries_[Lower(d)] = e;
    }
  }

  NTSTATUS Insert(const std::string& name, Entry e) {
    const std::string c = Canonical(name);
    if (c.empty() || c == "\\") return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> g(lock_);
    auto parent = entries_.find(Lower(Parent(c)));
    if (parent == entries_.end() || parent->second.kind != Kind::Directory) return STATUS_OBJECT_PATH_NOT_FOUND;
    const std::string key = Lower(c);
    if (entries_.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    e.spelled = c;
    entries_[key] = std::move(e);
    return STATUS_SUCCESS;
  }

  NTSTATUS Remove(const std::string& name, Kind kind, const DeviceObject* device = nullptr) {
    const std::string c = Canonical(name);
    if (c.empty()) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> g(lock_);
    auto it = entries_.find(Lower(c));
    if (it == entries_.end() || it->second.kind != kind || it->second.permanent) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (device != nullptr && it->second.device != device) return STATUS_OBJECT_NAME_NOT_FOUND;
    entries_.erase(it);
    return STATUS_SUCCESS;
  }

  NTSTATUS MakeTemporary(const std::string& name) {
    const std::string c = Canonical(name);
    std::lock_guard<std::mutex> g(lock_);
    auto it = entries_.find(Lower(c));
    if (c.empty() || it == entries_.end() || it->second.permanent) return STATUS_OBJECT_NAME_NOT_FOUND;
    it->second.temporary = true;
    return STATUS_SUCCESS;
  }

  // A temporary directory disappears with everything still named inside it.
  NTSTATUS CloseDirectory(const std::string& name) {
    const std::string c = Canonical(name);
    std::lock_guard<std::mutex> g(lock_);
    auto it = entries_.find(Lower(c));
    if (c.empty() || it == entries_.end() || it->second.kind != Kind::Directory) return STATUS_INVALID_HANDLE;
    if (!it->second.temporary) return STATUS_SUCCESS;
    const std::string prefix = Lower(c) + "\\";
    for (auto e = entries_.begin(); e != entries_.end();) {
      if (e->first == Lower(c) || e->first.compare(0, prefix.size(), prefix) == 0) {
        e = entries_.erase(e);
      } else {
        ++e;
      }
    }
    return STATUS_SUCCESS;
  }

  // Walks the name component by component, replacing every link met on the way by its target.
  DeviceObject* LookupDevice(const std::string& name) {
    std::string c = Canonical(name);
    std::lock_guard<std::mutex> g(lock_);
    for (size_t hop = 0; hop < kMaxLinkHops && !c.empty(); ++hop) {
      bool replaced = false;
      size_t pos = 0;
      while (pos != std::string::npos) {
        const size_t next = c.find('\\', pos + 1);
        const std::string prefix = next == std::string::npos ? c : c.substr(0, next);
        auto it = entries_.find(Lower(prefix));
        if (it == entries_.end()) return nullptr;
        if (it->second.kind == Kind::Link) {
          c = Canonical(it->second.target + (next == std::string::npos ? "" : c.substr(next)));
          replaced = true;
          break;
        }
        if (it->second.kind == Kind::Device) return next == std::string::npos ? it->second.device : nullptr;
        pos = next;
      }
      if (!replaced) return nullptr;
    }
    return nullptr;
  }

  std::string LinkTarget(const std::string& name) {
    const std::string c = Canonical(name);
    std::lock_guard<std::mutex> g(lock_);
    auto it = entries_.find(Lower(c));
    if (c.empty() || it == entries_.end() || it->second.kind != Kind::Link) return {};
    return it->second.target;
  }

  std::vector<std::string> List() {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> out;
    for (const auto& [key, e] : entries_) {
      if (e.permanent) continue;
      out.push_back(e.kind == Kind::Link ? e.spelled + " -> " + e.target : e.spelled);
    }
    return out;
  }

 private:
  std::mutex lock_;
  std::map<std::string, Entry> entries_;
};

Namespace& Objects() {
  static auto* ns = new Namespace();
  return *ns;
}

}  // namespace

NTSTATUS ZwCreateDirectoryObject(const std::string& name) {
  Entry e;
  e.kind = Kind::Directory;
  return Objects().Insert(name, e);
}

NTSTATUS ZwMakeTemporaryObject(const std::string& name) {
  return Objects().MakeTemporary(name);
}

NTSTATUS ZwCloseDirectoryObject(const std::string& name) {
  return Objects().CloseDirectory(name);
}

NTSTATUS IoCreateDevice(DriverObject* driver, size_t extensionSize, const std::string& name, uint32_t deviceType,
                        uint32_t characteristics, bool /*exclusive*/, DeviceObject** device) {
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  *device = nullptr;
  auto* d = new (std::nothrow) DeviceObject();
  if (d == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  d->driver = driver;
  d->deviceType = deviceType;
  d->characteristics = characteristics;
  if (extensionSize > 0) {
    d->deviceExtension = ::operator new(extensionSize, std::align_val_t(64), std::nothrow);
    if (d->deviceExtension == nullptr) {
      delete d;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::fill_n(static_cast<uint8_t*>(d->deviceExtension), extensionSize, uint8_t{0});
  }
  if (!name.empty()) {
    Entry e;
    e.kind = Kind::Device;
    e.device = d;
    const NTSTATUS status = Objects().Insert(name, e);
    if (!NT_SUCCESS(status)) {
      if (d->deviceExtension) ::operator delete(d->deviceExtension, std::align_val_t(64));
      delete d;
      return status;
    }
    d->name = Canonical(name);
  }
  *device = d;
  return STATUS_SUCCESS;
}

void IoDeleteDevice(DeviceObject* device) {
  if (device == nullptr) return;
  if (!device->name.empty()) Objects().Remove(device->name, Kind::Device, device);
  if (device->deviceExtension) ::operator delete(device->deviceExtension, std::align_val_t(64));
  delete device;
}

NTSTATUS IoCreateSymbolicLink(const std::string& link, const std::string& target) {
  if (Canonical(target).empty()) return STATUS_OBJECT_NAME_INVALID;
  Entry e;
  e.kind = Kind::Link;
  e.target = target;
  return Objects().Insert(link, e);
}

NTSTATUS IoDeleteSymbolicLink(const std::string& link) {
  return Objects().Remove(link, Kind::Link);
}

DeviceObject* ObLookupDevice(const std::string& name) {
  return Objects().LookupDevice(name);
}

std::string ObQuerySymbolicLink(const std::string& link) {
  return Objects().LinkTarget(link);
}

std::vector<std::string> ObListNames() {
  return Objects().List();
}

}  // namespace kv::kernel
