#include "net/transport/IdBuffer.h"

#include "net/transport/IdException.h"

namespace {
// Consumed bytes are kept (not moved) until they are at least this many and
// more than the unread rest; moving then costs no more than the bytes consumed.
constexpr size_t kCompactThreshold = size_t{64} * 1024;
}  // namespace

void TIdBuffer::SetSize(int64_t NewSize) {
  Bytes.resize(Start + static_cast<size_t>(NewSize < 0 ? 0 : NewSize));
}

void TIdBuffer::DiscardFront(int64_t N) {
  if (N < 0 || N > Size()) throw EIdNotEnoughDataInBuffer();
  Start += static_cast<size_t>(N);
  if (Start == Bytes.size()) {
    Clear();
  } else if (Start >= kCompactThreshold && Start > Bytes.size() - Start) {
    Bytes.erase(0, Start);
    Start = 0;
  }
}
