#pragma once

// A second interface of the control object, not in its type library and not scriptable: the
// bytes of a file that the customer chose elsewhere (in a browser, where a page holds the file
// but never its path), handed in pieces, then hashed or signed as HashFile or SignFile would
// the same file, with the same lResult and the same properties left. The browser bridge
// reaches it by QueryInterface with IID_IQorXFileStream.
//
// One file at a time: BeginFile starts one (dropping any other), FileData adds bytes in order,
// EndFile finishes it and AbandonFile drops it; until EndFile no property changes.

#include <cstdint>

#include "bindings/control/Com.h"

namespace qorx::com {

extern const IID IID_IQorXFileStream;

class IQorXFileStream : public IUnknown {
 public:
  // A file of `size` bytes follows. E_OUTOFMEMORY when it cannot be started.
  virtual HRESULT BeginFile(uint64_t size) = 0;
  // The next `length` bytes. E_UNEXPECTED with no file begun; E_INVALIDARG (nothing taken)
  // for bytes beyond the size it announced, or a null `bytes` with a length.
  virtual HRESULT FileData(const uint8_t* bytes, uint32_t length) = 0;
  // Ends the file as HashFile (`sign` 0) or SignFile (otherwise) of it would: *lResult as
  // theirs, properties as they leave them. A file that ended before its size is one that could
  // not be read whole (786). E_UNEXPECTED with no file begun, E_POINTER for a null lResult.
  virtual HRESULT EndFile(LONG sign, LONG* lResult) = 0;
  virtual HRESULT AbandonFile() = 0;

 protected:
  ~IQorXFileStream() = default;
};

}  // namespace qorx::com
