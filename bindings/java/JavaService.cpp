#include "bindings/java/JavaService.h"

#include <memory>

namespace qorx {

namespace {

// Destroyed at unload at the latest (as a static of the library), so that an open reader is
// closed and its PC/SC context given back when the process ends.
std::unique_ptr<TQorTerminalAppletService>& Holder() {
  static std::unique_ptr<TQorTerminalAppletService> service;
  return service;
}

}  // namespace

TQorTerminalAppletService& JavaService() {
  std::unique_ptr<TQorTerminalAppletService>& service = Holder();
  if (!service) service = std::make_unique<TQorTerminalAppletService>();
  return *service;
}

void DestroyJavaService() noexcept {
  Holder().reset();
}

}  // namespace qorx
