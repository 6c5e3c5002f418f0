// Preloaded into the tagcut binary by the fault tests (LD_PRELOAD), this
// refuses chosen heap allocations as an exhausted system would: malloc and
// its kin return null with ENOMEM, so operator new throws std::bad_alloc.
// Only allocations made once main has begun are counted, so the C++
// runtime's own start-up is left alone.
//
//   TAGCUT_REFUSE_ALLOCATION=K   refuse the K-th allocation (from 1) ...
//   TAGCUT_REFUSE_ONWARD=1       ... and every one after it
//   TAGCUT_COUNT_ALLOCATIONS=F   at exit, write the count made into file F
//
// Everything it calls before passing an allocation on is async-signal-safe
// and allocates nothing itself.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

std::atomic<bool> armed{false};
std::atomic<unsigned long> made{0};
unsigned long refused_from = 0;  // 0: refuse nothing
bool refuse_onward = false;
const char* count_file = nullptr;
int (*real_main)(int, char**, char**) = nullptr;

unsigned long NumberFrom(const char* text) {
  unsigned long number = 0;
  for (; text != nullptr && *text >= '0' && *text <= '9'; ++text)
    number = number * 10 + (*text - '0');
  return number;
}

// Counts one allocation; true when it is to be refused.
bool Refuse() {
  if (!armed.load(std::memory_order_relaxed)) return false;
  const unsigned long ordinal = made.fetch_add(1, std::memory_order_relaxed) + 1;
  const bool refused =
      refused_from != 0 && (ordinal == refused_from || (refuse_onward && ordinal > refused_from));
  if (refused) errno = ENOMEM;
  return refused;
}

void WriteCount() {
  if (count_file == nullptr) return;
  const int fd = open(count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char digits[24];
  char* at = digits + sizeof digits;
  unsigned long count = made.load();
  do {
    *--at = static_cast<char>('0' + count % 10);
    count /= 10;
  } while (count != 0);
  if (write(fd, at, static_cast<std::size_t>(digits + sizeof digits - at)) < 0) {
    // The test then reads no count, and says so.
  }
  close(fd);
}

int ArmedMain(int argc, char** argv, char** environment) {
  refused_from = NumberFrom(getenv("TAGCUT_REFUSE_ALLOCATION"));
  refuse_onward = NumberFrom(getenv("TAGCUT_REFUSE_ONWARD")) != 0;
  count_file = getenv("TAGCUT_COUNT_ALLOCATIONS");
  armed = true;
  const int status = real_main(argc, argv, environment);
  armed = false;
  WriteCount();
  return status;
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) { return Refuse() ? nullptr : __libc_malloc(size); }
void* calloc(std::size_t count, std::size_t size) {
  return Refuse() ? nullptr : __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  return Refuse() ? nullptr : __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  return Refuse() ? nullptr : __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return Refuse() ? nullptr : __libc_memalign(alignment, size);
}
int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  if (Refuse()) return ENOMEM;
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

// The program's entry calls this; main is wrapped so that counting begins there.
int __libc_start_main(int (*main)(int, char**, char**), int argc, char** argv, void (*init)(),
                      void (*fini)(), void (*rtld_fini)(), void* stack_end) {
  using Start =
      int (*)(int (*)(int, char**, char**), int, char**, void (*)(), void (*)(), void (*)(), void*);
  real_main = main;
  const auto start = reinterpret_cast<Start>(dlsym(RTLD_NEXT, "__libc_start_main"));
  return start(ArmedMain, argc, argv, init, fini, rtld_fini, stack_end);
}

}  // extern "C"
