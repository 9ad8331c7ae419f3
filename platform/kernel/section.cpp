// Shared sections: a memory file mapped in the host, handed to a requesting process with the
// reply so that it maps the same pages.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/kernel/kernel.h"

namespace kv::kernel {

// Pool accounting of memory that does not come from the pool (pool.cpp).
bool PoolAccount(uint32_t tag, int delta);

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

std::unique_ptr<SharedSection> SharedSection::Create(size_t size, uint32_t tag) {
  if (size == 0 || size > kRequestorViewRoom) return nullptr;
  if (!PoolAccount(tag, +1)) return nullptr;
  std::unique_ptr<SharedSection> s(new SharedSection);
  s->tag_ = tag;
  s->fd_.reset(memfd_create("kvemu-section", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  // Sealed: a process given the file must not shrink the pages away from under the kernel.
  if (s->fd_.get() < 0 || ftruncate(s->fd_.get(), static_cast<off_t>(size)) != 0 ||
      fcntl(s->fd_.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
    return nullptr;
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, s->fd_.get(), 0);
  if (p == MAP_FAILED) return nullptr;
  s->data_ = static_cast<uint8_t*>(p);
  s->size_ = size;
  return s;
}

SharedSection::~SharedSection() {
  if (data_ != nullptr) munmap(data_, size_);
  if (tag_ != 0) PoolAccount(tag_, -1);
}

NTSTATUS MmMapSectionIntoRequestor(Irp* irp, const SharedSection& section, uint32_t* userAddress) {
  const uint64_t room = irp->requestorViewRoom;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (room == 0 || room % page != 0 || room + kRequestorViewRoom > (uint64_t(1) << 32) ||
      section.size() > kRequestorViewRoom) {
    return STATUS_INVALID_PARAMETER;
  }
  const int fd = fcntl(section.fd_.get(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return STATUS_INSUFFICIENT_RESOURCES;
  irp->viewFd.reset(fd);
  irp->viewAddress = static_cast<uint32_t>(room);
  *userAddress = static_cast<uint32_t>(room);
  return STATUS_SUCCESS;
}

void MmUnmapFromRequestor(Irp* irp, uint32_t userAddress) {
  irp->viewFd.reset();
  irp->viewAddress = userAddress;
}

}  // namespace kv::kernel
