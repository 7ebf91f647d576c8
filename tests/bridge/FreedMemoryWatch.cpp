// Preloaded into a process (LD_PRELOAD), reports every block freed while it still held a marker
// secret: $QORX_FREED_MARKER as ASCII or UTF-16LE, whole or any piece of it of at least
// kWindow characters (a wiped string whose moved-from copy kept "234" of "1234" is exactly
// such a piece). Hits go to $QORX_FREED_REPORT, one line each (the first few with a
// backtrace), and a summary line at exit says how much was scanned, so that a run that saw
// nothing cannot pass for a clean one.
//
// The real allocator is glibc's own __libc_* entry points: no dlsym, so nothing allocates
// while the hooks are being resolved. realloc always moves, so that the old block is checked
// as it goes. Only the process it was preloaded into is watched: the variable is dropped
// from the environment before any child can inherit it.

#include <execinfo.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void __libc_free(void* pointer);
}

namespace {

constexpr size_t kWindow = 4;
constexpr size_t kMaxMarker = 64;
constexpr long kDetailedHits = 4;
constexpr long kReportedHits = 32;

char g_marker[kMaxMarker];
size_t g_length = 0;
int g_report = -1;
std::atomic<long> g_blocks{0}, g_bytes{0}, g_hits{0};
// Set while a hit is being reported: backtrace() may allocate, and those blocks are not scanned.
thread_local bool t_reporting __attribute__((tls_model("initial-exec"))) = false;

// Text of a line built without the allocator.
struct Line {
  char text[256];
  size_t length = 0;
  void Add(const char* s) {
    while (*s != '\0' && length < sizeof text) text[length++] = *s++;
  }
  void Add(unsigned long n) {
    char digits[24];
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0);
    while (count > 0 && length < sizeof text) text[length++] = digits[--count];
  }
  void Write() const {
    if (g_report >= 0) (void)!write(g_report, text, length);
  }
};

// The longest piece of the marker starting at `at`, in characters of `width` bytes.
size_t MatchAt(const unsigned char* at, size_t room, size_t width, size_t* from) {
  size_t best = 0;
  for (size_t start = 0; start + kWindow <= g_length; ++start) {
    size_t n = 0;
    while (start + n < g_length && (n + 1) * width <= room &&
           at[n * width] == static_cast<unsigned char>(g_marker[start + n]) &&
           (width == 1 || at[n * width + 1] == 0))
      ++n;
    if (n > best) {
      best = n;
      *from = start;
    }
  }
  return best >= kWindow ? best : 0;
}

void Scan(void* pointer) {
  if (g_length == 0 || t_reporting) return;
  const size_t size = malloc_usable_size(pointer);
  const auto* bytes = static_cast<const unsigned char*>(pointer);
  g_blocks.fetch_add(1, std::memory_order_relaxed);
  g_bytes.fetch_add(static_cast<long>(size), std::memory_order_relaxed);
  for (size_t i = 0; i < size; ++i) {
    if (std::memchr(g_marker, bytes[i], g_length) == nullptr) continue;
    size_t from = 0;
    size_t width = 1;
    size_t n = MatchAt(bytes + i, size - i, 1, &from);
    if (n == 0) n = MatchAt(bytes + i, size - i, width = 2, &from);
    if (n == 0) continue;
    const long hit = g_hits.fetch_add(1, std::memory_order_relaxed) + 1;
    if (hit > kReportedHits) return;
    Line line;
    line.Add("hit ");
    line.Add(static_cast<unsigned long>(hit));
    line.Add(width == 1 ? ": ascii" : ": utf16le");
    line.Add(" characters ");
    line.Add(from);
    line.Add("..");
    line.Add(from + n);
    line.Add(" of the marker at offset ");
    line.Add(i);
    line.Add(" of a block of ");
    line.Add(size);
    line.Add(" bytes\n");
    line.Write();
    if (hit <= kDetailedHits && g_report >= 0) {
      t_reporting = true;
      void* frames[24];
      backtrace_symbols_fd(frames, backtrace(frames, 24), g_report);
      t_reporting = false;
    }
    return;  // one hit a block
  }
}

__attribute__((constructor)) void Start() {
  const char* marker = std::getenv("QORX_FREED_MARKER");
  const char* report = std::getenv("QORX_FREED_REPORT");
  if (report != nullptr) g_report = open(report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  void* frames[2];
  backtrace(frames, 2);  // loads the unwinder now rather than during a report
  if (marker != nullptr && std::strlen(marker) >= kWindow && std::strlen(marker) <= kMaxMarker) {
    g_length = std::strlen(marker);
    std::memcpy(g_marker, marker, g_length);
  }
  unsetenv("LD_PRELOAD");
}

__attribute__((destructor)) void Finish() {
  Line line;
  line.Add("scanned ");
  line.Add(static_cast<unsigned long>(g_blocks.load()));
  line.Add(" freed blocks, ");
  line.Add(static_cast<unsigned long>(g_bytes.load()));
  line.Add(" bytes; hits ");
  line.Add(static_cast<unsigned long>(g_hits.load()));
  line.Add(g_length == 0 ? " (no marker)\n" : "\n");
  line.Write();
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  return __libc_calloc(count, size);
}

void free(void* pointer) {
  if (pointer == nullptr) return;
  Scan(pointer);
  __libc_free(pointer);
}

void* realloc(void* pointer, size_t size) {
  if (pointer == nullptr) return malloc(size);
  if (size == 0) {
    free(pointer);
    return nullptr;
  }
  void* moved = malloc(size);
  if (moved == nullptr) return nullptr;
  const size_t old = malloc_usable_size(pointer);
  std::memcpy(moved, pointer, old < size ? old : size);
  free(pointer);
  return moved;
}

void* reallocarray(void* pointer, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(pointer, count * size);
}

}  // extern "C"
