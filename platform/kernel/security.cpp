// Client security: the requestor's identity captured from a request, and impersonation through
// the calling thread's file-system uid and gid. Linux keeps supplementary groups per process
// (setgroups applies to every thread), so impersonation carries only the uid and primary gid: the
// client's supplementary groups do not count, and neither do the host's once fsuid is switched.
#include <sys/fsuid.h>
#include <unistd.h>

#include "platform/kernel/kernel.h"

namespace kv::kernel {
namespace {

// setfsuid reports the previous value whether or not it changed anything; asking again tells.
bool SwitchFsIds(uid_t uid, gid_t gid) {
  setfsgid(gid);
  setfsuid(uid);
  return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == uid &&
         static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == gid;
}

}  // namespace

NTSTATUS SeCreateClientSecurity(const Irp& irp, ClientSecurity* out) {
  if (out == nullptr) return STATUS_INVALID_PARAMETER;
  out->identity = irp.requestor;
  return STATUS_SUCCESS;
}

NTSTATUS SeImpersonateClient(const ClientSecurity& client) {
  if (!SwitchFsIds(client.identity.uid, client.identity.gid)) {
    // Never go on with the host's own rights when the client's cannot be taken.
    PsRevertToSelf();
    return STATUS_ACCESS_DENIED;
  }
  return STATUS_SUCCESS;
}

void PsRevertToSelf() {
  SwitchFsIds(geteuid(), getegid());
}

}  // namespace kv::kernel
