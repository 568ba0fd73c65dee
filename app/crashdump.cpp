#include "app/crashdump.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "app/processstate.h"
#include "app/signals.h"

namespace {

constexpr int kStackWords = 128;  // 512 bytes of 32-bit words
constexpr int kWordsPerLine = 4;

std::atomic<bool> dumping{false};

struct SavedWord {
  const char* label;  // ten characters
  uint64_t value;
};

// The saved words of the interrupted context as the platform offers them,
// and its stack pointer; the number of words.
int contextWords(const void* context, SavedWord* out, int capacity, uint64_t* stackPointer) {
  *stackPointer = 0;
  if (!context) return 0;
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
  int n = 0;
#if defined(__arm__)
  static const char* const kLabels[] = {"trap_no   ", "error_code", "oldmask   ", "arm_r0    ", "arm_r1    ",
                                        "arm_r2    ", "arm_r3    ", "arm_r4    ", "arm_r5    ", "arm_r6    ",
                                        "arm_r7    ", "arm_r8    ", "arm_r9    ", "arm_r10   ", "arm_fp    ",
                                        "arm_ip    ", "arm_sp    ", "arm_lr    ", "arm_pc    ", "arm_cpsr  ",
                                        "fault_addr"};
  // struct sigcontext holds these 21 words in this order.
  const unsigned long* words = &uc->uc_mcontext.trap_no;
  for (const char* label : kLabels) {
    if (n >= capacity) break;
    out[n].label = label;
    out[n].value = words[n];
    ++n;
  }
  *stackPointer = uc->uc_mcontext.arm_sp;
#elif defined(__x86_64__)
  static const struct {
    const char* label;
    int reg;
  } kRegs[] = {{"trap_no   ", REG_TRAPNO}, {"error_code", REG_ERR}, {"oldmask   ", REG_OLDMASK},
               {"rax       ", REG_RAX},    {"rbx       ", REG_RBX}, {"rcx       ", REG_RCX},
               {"rdx       ", REG_RDX},    {"rsi       ", REG_RSI}, {"rdi       ", REG_RDI},
               {"r8        ", REG_R8},     {"r9        ", REG_R9},  {"r10       ", REG_R10},
               {"r11       ", REG_R11},    {"r12       ", REG_R12}, {"r13       ", REG_R13},
               {"r14       ", REG_R14},    {"r15       ", REG_R15}, {"rbp       ", REG_RBP},
               {"rsp       ", REG_RSP},    {"rip       ", REG_RIP}, {"eflags    ", REG_EFL},
               {"fault_addr", REG_CR2}};
  for (const auto& r : kRegs)
    if (n < capacity) out[n++] = {r.label, static_cast<uint64_t>(uc->uc_mcontext.gregs[r.reg])};
  *stackPointer = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  static const char* const kLabels[] = {"x0        ", "x1        ", "x2        ", "x3        ", "x4        ",
                                        "x5        ", "x6        ", "x7        ", "x8        ", "x9        ",
                                        "x10       ", "x11       ", "x12       ", "x13       ", "x14       ",
                                        "x15       ", "x16       ", "x17       ", "x18       ", "x19       ",
                                        "x20       ", "x21       ", "x22       ", "x23       ", "x24       ",
                                        "x25       ", "x26       ", "x27       ", "x28       ", "fp        ",
                                        "lr        "};
  for (int i = 0; i < 31 && n < capacity; ++i) out[n++] = {kLabels[i], uc->uc_mcontext.regs[i]};
  if (n < capacity) out[n++] = {"sp        ", uc->uc_mcontext.sp};
  if (n < capacity) out[n++] = {"pc        ", uc->uc_mcontext.pc};
  if (n < capacity) out[n++] = {"pstate    ", uc->uc_mcontext.pstate};
  if (n < capacity) out[n++] = {"fault_addr", uc->uc_mcontext.fault_address};
  *stackPointer = uc->uc_mcontext.sp;
#else
  (void)uc;
  (void)capacity;
#endif
  return n;
}

// Copies memory of this process without touching it directly, so an
// unmapped stack end gives a failure instead of a second fault.
bool readOwnMemory(uint64_t address, void* out, size_t size) {
  iovec local{out, size};
  iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size};
  return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(size);
}

void dumpStack(uint64_t sp) {
  writeAllSignalSafe(STDOUT_FILENO, "\nStack: ", 8);
  for (int line = 0; line < kStackWords / kWordsPerLine; ++line) {
    uint64_t address = sp + static_cast<uint64_t>(line) * kWordsPerLine * 4;
    uint32_t words[kWordsPerLine];
    bool readable = sp != 0 && readOwnMemory(address, words, sizeof words);
    SignalSafeText text;
    text.add("\n").hex(address, 8).add(": ");
    for (int i = 0; i < kWordsPerLine; ++i) {
      if (readable)
        text.hex(words[i], 8).add(" ");
      else
        text.add("???????? ");
    }
    text.writeTo(STDOUT_FILENO);
  }
  writeAllSignalSafe(STDOUT_FILENO, "\n", 1);
}

void dumpMemoryMap() {
  int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char piece[255];
  for (;;) {
    ssize_t n = ::read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    writeAllSignalSafe(STDOUT_FILENO, piece, static_cast<size_t>(n));
  }
  ::close(fd);
}

}  // namespace

void onFatalSignal(int sig, siginfo_t* info, void* context) {
  if (dumping.exchange(true)) {
    // Another thread is writing its dump: give it time, then end.
    timespec pauseTime{2, 0};
    while (nanosleep(&pauseTime, &pauseTime) != 0 && errno == EINTR) {
    }
    _exit(EXIT_CRASH);
  }
  SignalSafeText head;
  head.add("Signal ").dec(sig).add(", errno ").dec(info ? info->si_errno : 0).add(", code ");
  head.dec(info ? info->si_code : 0).add(", addr ");
  head.hex(info ? static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info->si_addr)) : 0, 8).add("\n");
  head.writeTo(STDOUT_FILENO);

  SavedWord words[40];
  uint64_t sp = 0;
  int n = contextWords(context, words, 40, &sp);
  for (int i = 0; i < n; ++i) {
    SignalSafeText line;
    line.add(words[i].label).add("=").hex(words[i].value, 8).add("\n");
    line.writeTo(STDOUT_FILENO);
  }
  dumpStack(sp);
  dumpMemoryMap();
  _exit(EXIT_CRASH);
}
