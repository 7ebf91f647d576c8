#pragma once

#include <cstdint>

#include "core/ByteArray.h"
#include "core/Objects.h"

namespace qorx {

// A named, pluggable part of the library with a common open/close/attribute interface.
class TSDBaseService : public TSDObject {
 public:
  explicit TSDBaseService(const char* name);
  ~TSDBaseService() override = default;

  virtual void Open(const char* argument);
  virtual void Close();
  // Services that have no attributes refuse with 0xC100.
  virtual int GetAttribute(uint16_t id, void* out, int size);
  virtual int SetAttribute(uint16_t id, const void* in, int size);

  const TSDByteArray& Name() const noexcept { return name_; }

 private:
  TSDByteArray text_;  // unused by every service of the library; kept empty
  TSDByteArray name_;
};

// Makes services by instance name and lists the names it can serve.
class TSDBaseServiceFactory : public TSDObject {
 public:
  explicit TSDBaseServiceFactory(const char* name);
  ~TSDBaseServiceFactory() override = default;

  // Number of names. With a null buffer only *size is set (the multi-string's length with
  // its final NUL); with a buffer the names are copied and *size set to the length copied.
  virtual int EnumerateNames(char* buffer, int* size) = 0;
  // A new, closed service for `name`; the caller owns it.
  virtual TSDBaseService* CreateService(const char* name) = 0;

  // Starts a fresh enumeration; returns the number of names (0 leaves the factory idle).
  int StartEnumeration();
  // The next name, or the empty text once the names are exhausted (the factory is idle then).
  TSDByteArray NextName();

  const TSDByteArray& Name() const noexcept { return name_; }

 private:
  void Reset();

  TSDByteArray name_;
  int32_t cursor_ = -1;  // byte offset into names_; -1 while idle
  TSDByteArray names_;
};

}  // namespace qorx
