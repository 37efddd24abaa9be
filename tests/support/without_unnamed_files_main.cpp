// Runs a command as it would run where unnamed files cannot be used as on this
// machine, so that the tests meet the paths the tool takes there:
//
//   without_unnamed_files naming COMMAND [ARG...]
//     linkat with AT_EMPTY_PATH fails with ENOENT, as it does before Linux 6.10
//     for a process without CAP_DAC_READ_SEARCH (a normal user, or root in a
//     default container): unnamed files can be made but never given a name.
//   without_unnamed_files creating COMMAND [ARG...]
//     opening with O_TMPFILE fails with EOPNOTSUPP, as on a file system without
//     unnamed files.
//
// A seccomp filter, kept by every process the command starts, answers those
// calls; nothing else changes. Exits 77 where no filter can be set.

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr int kSkipped = 77;

#if defined(__x86_64__)
constexpr std::uint32_t kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArchitecture = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kArchitecture = 0;  // no filter for this architecture
#endif

// A call the filter answers with an error: system call number, and, unless
// argument is negative, only when that argument has a bit of mask set.
struct Refusal {
  long call;
  int argument;
  std::uint32_t mask;
  int error;
};

// Where the filter finds the low 32 bits of argument i.
std::uint32_t argumentOffset(int i) {
  const std::size_t offset = offsetof(seccomp_data, args) + sizeof(std::uint64_t) * static_cast<std::size_t>(i);
  return static_cast<std::uint32_t>(std::endian::native == std::endian::little ? offset : offset + 4);
}

std::vector<sock_filter> filterFor(const std::vector<Refusal>& refusals) {
  const sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0),
      allow,
  };
  for (const Refusal& refusal : refusals) {
    const auto number = static_cast<std::uint32_t>(refusal.call);
    const sock_filter refuse = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(refusal.error));
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    if (refusal.argument < 0) {
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1));
      program.push_back(refuse);
    } else {
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 3));
      program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argumentOffset(refusal.argument)));
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, refusal.mask, 0, 1));
      program.push_back(refuse);
    }
  }
  program.push_back(allow);
  return program;
}

int usage() {
  std::fputs("usage: without_unnamed_files naming|creating COMMAND [ARG...]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string_view what = argv[1];
  std::vector<Refusal> refusals = {{SYS_linkat, 4, AT_EMPTY_PATH, ENOENT}};
  if (what == "creating") {
    // The kernel's own bit of O_TMPFILE, which comes with O_DIRECTORY.
    const auto unnamed = static_cast<std::uint32_t>(O_TMPFILE & ~O_DIRECTORY);
    refusals = {{SYS_openat, 2, unnamed, EOPNOTSUPP},
#ifdef SYS_open
                {SYS_open, 1, unnamed, EOPNOTSUPP},
#endif
                // Its flags lie in memory the filter cannot read: the caller falls back to openat.
                {SYS_openat2, -1, 0, ENOSYS}};
  } else if (what != "naming") {
    return usage();
  }

  if (kArchitecture == 0) {
    std::fputs("without_unnamed_files: no filter for this architecture\n", stderr);
    return kSkipped;
  }
  std::vector<sock_filter> filter = filterFor(refusals);
  const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  // Without CAP_SYS_ADMIN a filter needs no_new_privs, which keeps root's rights.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) {
    std::fprintf(stderr, "without_unnamed_files: cannot set a seccomp filter: %s\n", std::strerror(errno));
    return kSkipped;
  }
  ::execvp(argv[2], argv + 2);
  std::fprintf(stderr, "without_unnamed_files: cannot run %s: %s\n", argv[2], std::strerror(errno));
  return 127;
}
