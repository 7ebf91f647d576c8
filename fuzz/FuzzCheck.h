#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "core/Exceptions.h"

// What the fuzz targets share: an expected failure is an ESDException with a known code;
// any other exception, or a broken promise of the code under test, ends the run with a report
// (libFuzzer then keeps the input as a crash artifact).
namespace qorx::fuzz {

[[noreturn]] inline void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what);
  std::abort();
}

// Runs `body`; true when it returned, false when it raised one of `codes`.
template <typename F>
bool Expect(F&& body, std::initializer_list<uint16_t> codes) {
  try {
    body();
    return true;
  } catch (const ESDException& e) {
    for (uint16_t code : codes) {
      if (e.Code() == code) return false;
    }
    std::fprintf(stderr, "unexpected ESDException %04X raised at %s(%d)\n", e.Code(), e.File(),
                 e.Line());
    std::abort();
  } catch (...) {
    std::fprintf(stderr, "unexpected exception\n");
    std::abort();
  }
}

}  // namespace qorx::fuzz

#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : ::qorx::fuzz::Fail("check failed: " #cond, __FILE__, __LINE__))
