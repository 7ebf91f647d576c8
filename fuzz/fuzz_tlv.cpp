// BER-TLV as a card or the bank's host might send it: the store, flat and recursive, and one
// element with its children, decoded, rebuilt and extended.
#include <cstddef>
#include <cstdint>

#include "core/ByteArray.h"
#include "fuzz/FuzzCheck.h"
#include "transport/TLV.h"

using namespace qorx;

namespace {

// Children of a constructed element: ChildCount and ChildAt tell the same story. Only the
// first few children are fetched, each ChildAt walks from the start.
void CheckChildren(const TSDTLV& element) {
  int count = element.ChildCount();
  if (!element.IsConstructed()) {
    FUZZ_CHECK(count == 0);
    FUZZ_CHECK(!fuzz::Expect([&] { element.ChildAt(0); }, {sd::kMalformed}));
    return;
  }
  if (count < 0) {  // a malformed child: a walk over all of them must meet it
    FUZZ_CHECK(!fuzz::Expect([&] { element.ChildAt(1 << 30); }, {sd::kMalformed}));
    return;
  }
  for (int i = 0; i < count && i < 8; ++i) {
    TSDTLV child = element.ChildAt(i);
    FUZZ_CHECK(child.IsValid() && child.EncodingLength() > 0);
    FUZZ_CHECK(child.EncodingLength() <= element.Length());
    child.Tag();
  }
  FUZZ_CHECK(element.ChildAt(count).EncodingLength() == 0);
}

// A complete element: Build(Tag, Value) encodes the same tag and value again, and AppendValue
// extends the value by exactly what it is given.
void CheckComplete(const TSDTLV& element, const TSDByteArray& more) {
  FUZZ_CHECK(element.IsValid());
  int tag = element.Tag();
  TSDByteArray value = element.Value();
  FUZZ_CHECK(value.Length() == element.Length());
  FUZZ_CHECK(element.HeaderLength() > 0);

  TSDTLV rebuilt(tag, value);
  TSDTLV reparsed;
  FUZZ_CHECK(reparsed.TakeFirst(rebuilt.Encoding()) == rebuilt.EncodingLength());
  FUZZ_CHECK(reparsed.Tag() == tag);
  FUZZ_CHECK(reparsed.Value() == value);
  FUZZ_CHECK(reparsed.IsConstructed() == element.IsConstructed());

  TSDTLV grown(element);
  if (fuzz::Expect([&] { grown.AppendValue(more); }, {sd::kLength})) {
    FUZZ_CHECK(grown.Tag() == tag);
    FUZZ_CHECK(grown.Value() == value.Concat(more));
  } else {
    FUZZ_CHECK(value.Length() + more.Length() > TSDTLV::kMaxValueLength);
  }
  FUZZ_CHECK(element.Value() == value);  // the copy changed, not the original
  CheckChildren(element);
}

void CheckStore(const TSDByteArray& bytes, bool recursive, const TSDByteArray& more) {
  TSDTLVStore store;
  fuzz::Expect([&] { store.ParseAll(bytes, recursive, recursive ? 2 : 1); }, {sd::kMalformed});
  for (int32_t i = 0; i < store.Count(); ++i) {
    TSDTLV element = store.At(i);
    FUZZ_CHECK(element.Qualifier() == (recursive ? 2 : 1));
    // Put keeps one element per tag, so Get finds this very one.
    FUZZ_CHECK(store.Get(element.Tag(), -1).Encoding() == element.Encoding());
    if (i < 16) CheckComplete(element, more);
  }
  if (store.Count() > 0) {
    int tag = store.At(0).Tag();
    FUZZ_CHECK(store.RemoveMatching(tag, -1));
    FUZZ_CHECK(store.Get(tag, -1).EncodingLength() == 0);
    FUZZ_CHECK(!store.RemoveMatching(tag, -1));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TSDByteArray bytes(data, static_cast<int32_t>(size));
  TSDByteArray more(data, static_cast<int32_t>(size < 4 ? size : 4));

  CheckStore(bytes, false, more);
  CheckStore(bytes, true, more);

  // The whole input as one element.
  TSDTLV whole(bytes);
  int tag = 0, length = 0;
  int header = whole.ParseHeader(bytes, TSDBaseTLV::kHeaderComplete, &tag, &length);
  FUZZ_CHECK(whole.IsValid() == (header >= 0));
  if (header > 0) {
    FUZZ_CHECK(whole.Tag() == tag && whole.Length() == length);
    FUZZ_CHECK(header + length <= whole.EncodingLength());
    CheckComplete(whole, more);
  } else {
    FUZZ_CHECK(!fuzz::Expect([&] { whole.Tag(); }, {sd::kMalformed}));
    FUZZ_CHECK(!fuzz::Expect([&] { whole.Length(); }, {sd::kMalformed}));
    FUZZ_CHECK(!fuzz::Expect([&] { whole.Value(); }, {sd::kMalformed}));
    FUZZ_CHECK(!fuzz::Expect([&] { whole.ValuePointer(); }, {sd::kMalformed}));
    FUZZ_CHECK(!fuzz::Expect([&] { whole.ChildCount(); }, {sd::kMalformed}));
  }

  // Walking the input element by element covers it exactly, up to a fault or padding.
  TSDTLV scratch;
  int32_t offset = 0;
  for (int steps = 0; offset < bytes.Length() && steps < 64; ++steps) {
    int span = scratch.TakeFirst(bytes.Mid(offset, bytes.Length() - offset));
    if (span <= 0) break;
    FUZZ_CHECK(span == scratch.EncodingLength() && offset + span <= bytes.Length());
    FUZZ_CHECK(scratch.IsValid());
    offset += span;
  }
  return 0;
}
