#include "support/unprivileged.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/fsuid.h>
#endif

#include <cstdlib>

namespace kestrune::test {
namespace {

constexpr unsigned NOBODY = 65534;

// Asks the kernel: can this thread open a file that grants nobody anything?
bool permissions_enforced() {
    char name[] = "/tmp/kestrune_perm_probe_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0)
        return false;
    ::close(fd);
    ::chmod(name, 0);
    const int probe = ::open(name, O_RDONLY);
    const bool enforced = probe < 0;
    if (probe >= 0)
        ::close(probe);
    ::unlink(name);
    return enforced;
}

}  // namespace

unsigned unprivileged_uid() {
    return ::geteuid() == 0 ? NOBODY : ::geteuid();
}

Unprivileged::Unprivileged() {
#if defined(__linux__)
    if (::geteuid() == 0) {
        // Per thread, and it clears the override capabilities while not 0.
        ::setfsgid(NOBODY);
        ::setfsuid(NOBODY);
        dropped_ = true;
    }
#endif
    enforced_ = permissions_enforced();
}

Unprivileged::~Unprivileged() {
#if defined(__linux__)
    if (dropped_) {
        ::setfsuid(0);
        ::setfsgid(0);
    }
#endif
}

}  // namespace kestrune::test
