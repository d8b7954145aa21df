#include "net/transport/IdTCPConnection.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "net/transport/IdException.h"
#include "platform/Text.h"

// One character fits the string's own buffer: nothing is allocated, nothing can throw.
const std::string TIdTCPConnection::NoOutputCommand(1, '\0');  // NOLINT(cert-err58-cpp)

void TIdConnectionIntercept::AttachSocket(TIdSocketHandle* AHandle) {
  Handle = AHandle;
  if (OnConnect) OnConnect(this);
}

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner)
    : TIdComponent(AOwner), SocketHandle(std::make_unique<TIdSocketHandle>()) {
  ReceiveBuffer.SetSize(IdTCPDefaults::RecvBufferSize);
  ExchangeStart = std::chrono::steady_clock::now();
}

// Closing the socket (through the handle's destructor) fires no events.
TIdTCPConnection::~TIdTCPConnection() = default;

void TIdTCPConnection::SetInterceptEnabled(bool AValue) {
  if (AValue && !Intercept) throw EIdInterceptPropIsNil();
  InterceptEnabled = AValue;
}

// ---------------------------------------------------------------------------
// Bounded waits

void TIdTCPConnection::StartExchange() {
  ExchangeStart = std::chrono::steady_clock::now();
}

int TIdTCPConnection::BoundedWait() {
  int bound = ReadTimeout >= 0 ? ReadTimeout : TimeoutInfinite;
  if (ExchangeTimeout >= 0) {
    auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - ExchangeStart)
                    .count();
    long long left = ExchangeTimeout - used;
    if (left <= 0) RaiseTimedOut();
    if (bound == TimeoutInfinite || left < bound) bound = static_cast<int>(left);
  }
  return bound;
}

void TIdTCPConnection::RaiseTimedOut() {
  if (Fault == TIdConnectionFault::None) Fault = TIdConnectionFault::TimedOut;
  TIdStack::ThrowSocketError(Id_WSAETIMEDOUT);
}

void TIdTCPConnection::NoteSocketError() {
  if (Fault == TIdConnectionFault::None) Fault = TIdConnectionFault::SocketError;
}

int TIdTCPConnection::EffectiveWait(int ATimeout, bool& AOurs) {
  AOurs = false;
  int bound = BoundedWait();
  if (bound == TimeoutInfinite) return ATimeout;
  if (ATimeout < 0 || ATimeout > bound) {
    AOurs = true;
    return bound;
  }
  return ATimeout;
}

// ---------------------------------------------------------------------------
// Reading

int TIdTCPConnection::ReceiveFromSocket(bool ARaiseIfClosed, int ATimeout, bool AUseInputBuffer,
                                        TIdBuffer* ADestination) {
  CheckPeerClosed(ARaiseIfClosed, false);
  if (!IsConnected()) return 0;
  TIdBuffer* dest = ADestination ? ADestination : &ReceiveBuffer;
  bool ours;
  int wait = EffectiveWait(ATimeout, ours);
  int result;
  try {
    int size = static_cast<int>(std::min<int64_t>(dest->Size(), INT_MAX));
    if (TLS) {
      // TLS waits for whole records itself, under the same bounds.
      result = ReceiveTLS(dest->Memory(), size, ATimeout);
      if (result < 0) return 0;
    } else if (!SocketHandle->WaitReadable(wait)) {
      if (ours) RaiseTimedOut();
      return 0;
    } else if (InterceptEnabled && Intercept && Intercept->HandlesReceive)
      result = Intercept->ReceiveThrough(dest->Memory(), size);
    else
      result = SocketHandle->Recv(dest->Memory(), size, 0);
    PeerClosed = result == 0;
    if (result != 0) {
      if (GlobalStack->CheckSocketResult(result, {Id_WSAESHUTDOWN})) {
        result = 0;
        if (SocketHandle->IsOpen) DropSocket();
        if (InputBuffer.Empty()) TIdStack::ThrowSocketError(Id_WSAESHUTDOWN);
      }
      if (ASCIIFilter)
        for (int i = 0; i < result; ++i) dest->Memory()[i] &= 0x7F;
    }
  } catch (const EIdSocketError&) {
    NoteSocketError();
    throw;
  }
  if (AUseInputBuffer)
    InputBuffer.Append(dest->Memory(), static_cast<size_t>(result));
  else
    AddWork(WorkRead, result);
  if (InterceptEnabled && Intercept) Intercept->NotifyReceived(dest->Memory(), result);
  CheckPeerClosed(ARaiseIfClosed, false);
  return result;
}

std::string TIdTCPConnection::ReadLine(const std::string& ATerminator, int ATimeout) {
  const bool defaulted = ATerminator.empty();
  const std::string term = defaulted ? std::string("\n") : ATerminator;
  LineTimedOut = false;
  // Resume the search where the previous one stopped: the bytes before that
  // point are known to hold no terminator. A different terminator starts over.
  if (term != LineScanTerminator) {
    LineScanTerminator = term;
    LineScanned = 0;
  }
  size_t found;
  for (;;) {
    std::string_view held = InputBuffer.View();
    if (LineScanned > held.size()) LineScanned = 0;
    found = held.find(term, LineScanned);
    if (found != std::string_view::npos) break;
    LineScanned = held.size() >= term.size() ? held.size() - term.size() + 1 : 0;
    // Up to term.size() - 1 bytes at the end may yet begin the terminator;
    // every byte before them belongs to the line.
    if (MaxLineLength > 0 && held.size() > static_cast<size_t>(MaxLineLength) + term.size() - 1)
      throw EIdReadLineMaxLineLengthExceeded(MaxLineLength);
    CheckPeerClosed(true, true);
    if (ReceiveFromSocket(true, ATimeout, true, nullptr) == 0) {
      LineTimedOut = true;
      LastLineBytes = 0;
      return std::string();
    }
  }
  // The cap is on the line, not on how it arrived: a line whose terminator
  // came in the same receive as its last bytes is held to it too.
  if (MaxLineLength > 0 && found > static_cast<size_t>(MaxLineLength))
    throw EIdReadLineMaxLineLengthExceeded(MaxLineLength);
  LastLineBytes = found + term.size();
  std::string line = TakeBytes(static_cast<int64_t>(LastLineBytes));
  LineScanned = 0;
  line.resize(found);
  if (defaulted && !line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string TIdTCPConnection::ReadReplyLine() {
  for (;;) {
    std::string line = text::Trim(ReadLine(std::string(), TimeoutInfinite));
    if (!line.empty()) return line;
  }
}

void TIdTCPConnection::ReadBytes(void* ABuffer, int ACount) {
  if (ACount <= 0 || !ABuffer) return;
  while (InputBuffer.Size() < ACount) {
    CheckPeerClosed(true, true);
    ReceiveFromSocket(true, TimeoutInfinite, true, nullptr);
  }
  std::memcpy(ABuffer, InputBuffer.Memory(), static_cast<size_t>(ACount));
  DiscardBytes(ACount);
}

int TIdTCPConnection::ReadInt32(bool AConvert) {
  uint32_t v;
  ReadBytes(&v, 4);
  return static_cast<int>(AConvert ? TIdStack::NetToHost32(v) : v);
}

void TIdTCPConnection::ReadToStream(TStream* AStream, int64_t ACount, bool AUntilClosed) {
  if (ACount == -1 && !AUntilClosed) ACount = ReadInt32(true);
  // The stream is not pre-sized to the announced count: memory follows the
  // bytes that actually arrive, whatever a peer announces.
  StartWork(WorkRead, AUntilClosed ? 0 : ACount);
  try {
    int64_t wanted = AUntilClosed ? INT64_MAX : std::max<int64_t>(ACount, 0);
    int64_t fromBuffer = std::min<int64_t>(wanted, InputBuffer.Size());
    if (fromBuffer > 0) {
      AStream->Write(InputBuffer.Memory(), fromBuffer);
      ConsumeInput(fromBuffer);
      wanted -= fromBuffer;
    }
    TIdBuffer piece;
    while (wanted > 0 && IsConnected()) {
      piece.SetSize(std::min<int64_t>(wanted, GetRecvBufferSize()));
      int n = ReceiveFromSocket(!AUntilClosed, TimeoutInfinite, false, &piece);
      if (n > 0) {
        AStream->Write(piece.Memory(), n);
        wanted -= n;
      }
    }
  } catch (...) {
    FinishWork(WorkRead);
    throw;
  }
  FinishWork(WorkRead);
  if (AStream->Size() > AStream->Position()) AStream->SetSize(AStream->Position());
}

template <class Deliver>
void TIdTCPConnection::ReadLinesUntilImpl(const std::string& ADelimiter, bool AUnstuffDots,
                                          Deliver&& D) {
  StartWork(WorkRead, 0);
  try {
    for (;;) {
      std::string line = ReadLine(std::string(), TimeoutInfinite);
      if (LineTimedOut) {
        // The peer closed after an unterminated line: the next read raises.
        CheckPeerClosed(true, true);
        continue;
      }
      if (line == ADelimiter) break;
      if (AUnstuffDots && line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
      D(line);
    }
  } catch (...) {
    FinishWork(WorkRead);
    throw;
  }
  FinishWork(WorkRead);
}

void TIdTCPConnection::ReadLinesUntil(TStringList* ATarget, const std::string& ADelimiter,
                                      bool AUnstuffDots) {
  ReadLinesUntilImpl(ADelimiter, AUnstuffDots, [ATarget](const std::string& L) {
    if (ATarget) ATarget->Add(L);
  });
}

void TIdTCPConnection::ReadLinesUntil(TStream* ATarget, const std::string& ADelimiter,
                                      bool AUnstuffDots) {
  ReadLinesUntilImpl(ADelimiter, AUnstuffDots, [ATarget](const std::string& L) {
    if (ATarget) ATarget->WriteString(L + "\r\n");
  });
}

std::string TIdTCPConnection::TakeBufferedText() {
  if (!IsConnected()) return std::string();
  ReceiveFromSocket(false, TimeoutInfinite, true, nullptr);
  return TakeBytes(InputBuffer.Size());
}

std::string TIdTCPConnection::ReadAllText() {
  std::string all;
  StartWork(WorkRead, 0);
  try {
    while (IsConnected()) all += TakeBufferedText();
    // Bytes that arrived together with the close are part of the text too.
    all += TakeBytes(InputBuffer.Size());
  } catch (...) {
    FinishWork(WorkRead);
    throw;
  }
  FinishWork(WorkRead);
  return all;
}

std::string TIdTCPConnection::TakeBytes(int64_t N) {
  if (N < 0 || N > InputBuffer.Size()) throw EIdNotEnoughDataInBuffer();
  std::string s(InputBuffer.Memory(), static_cast<size_t>(N));
  DiscardBytes(N);
  return s;
}

void TIdTCPConnection::DiscardBytes(int64_t N) {
  ConsumeInput(N);
  AddWork(WorkRead, N);
}

void TIdTCPConnection::ConsumeInput(int64_t N) {
  InputBuffer.DiscardFront(N);
  // The resumed line search counts from the front of what is held.
  auto n = static_cast<size_t>(N);
  LineScanned = LineScanned > n ? LineScanned - n : 0;
}

// ---------------------------------------------------------------------------
// Writing

void TIdTCPConnection::WriteText(const std::string& AText) {
  if (AText.empty()) return;
  WriteBytes(AText.data(), static_cast<int64_t>(AText.size()), false);
}

void TIdTCPConnection::WriteLine(const std::string& AText) {
  WriteText(AText + "\r\n");
}

void TIdTCPConnection::WriteLines(const TStringList& AList) {
  for (const auto& l : AList.Lines) WriteLine(l);
}

void TIdTCPConnection::WriteBytes(const void* ABuffer, int64_t ACount, bool) {
  if (ACount <= 0 || !ABuffer) return;
  CheckPeerClosed(true, true);
  const char* p = static_cast<const char*>(ABuffer);
  int64_t sent = 0;
  while (sent < ACount) {
    int chunk = static_cast<int>(std::min<int64_t>(ACount - sent, INT_MAX));
    bool ours;
    int wait = EffectiveWait(TimeoutInfinite, ours);
    int result;
    try {
      const bool bounded = wait != TimeoutInfinite;
      const bool through = TLS || (InterceptEnabled && Intercept && Intercept->HandlesSend);
      if (bounded && through && !SocketHandle->WaitWritable(wait)) RaiseTimedOut();
      if (TLS) {
        result = SendTLS(p + sent, chunk);
      } else if (InterceptEnabled && Intercept && Intercept->HandlesSend) {
        result = Intercept->SendThrough(p + sent, chunk);
      } else if (bounded) {
        // Under a bound the send itself must not block: a peer that stops
        // reading would hold a large write for as long as it liked. What the
        // socket takes now goes; only when it takes nothing is there a wait
        // for room, under the same bounds. Mostly there is room, and the send
        // comes first because the look for room is a call of its own.
        result = SocketHandle->SendNoWait(p + sent, chunk);
        if (result == 0) {
          if (!SocketHandle->WaitWritable(wait)) RaiseTimedOut();
          continue;
        }
      } else {
        result = SocketHandle->Send(p + sent, chunk, 0);
      }
      PeerClosed = result == 0;
      CheckPeerClosed(true, false);
      if (GlobalStack->CheckSocketResult(result, {Id_WSAESHUTDOWN})) {
        DropSocket();
        TIdStack::ThrowSocketError(Id_WSAESHUTDOWN);
      }
    } catch (const EIdSocketError&) {
      NoteSocketError();
      throw;
    }
    AddWork(WorkWrite, result);
    if (InterceptEnabled && Intercept) Intercept->NotifySent(p + sent, chunk);
    sent += result;
  }
}

void TIdTCPConnection::WriteInt32(int AValue, bool AConvert) {
  auto v = static_cast<uint32_t>(AValue);
  if (AConvert) v = TIdStack::HostToNet32(v);
  WriteBytes(&v, 4, false);
}

void TIdTCPConnection::WriteFromStream(TStream* AStream, bool AFromStart, bool AWithLengthPrefix) {
  if (AFromStart) AStream->SetPosition(0);
  int64_t left = AStream->Size() - AStream->Position();
  if (AWithLengthPrefix) WriteInt32(static_cast<int>(left), true);
  StartWork(WorkWrite, left);
  try {
    std::string block(static_cast<size_t>(std::max(SendBufferSize, 1)), '\0');
    for (;;) {
      int64_t n = std::min<int64_t>(AStream->Size() - AStream->Position(),
                                    static_cast<int64_t>(block.size()));
      if (n <= 0) break;
      int64_t got = AStream->Read(block.data(), n);
      if (got == 0) throw EIdNoDataToRead();
      WriteBytes(block.data(), got, false);
    }
  } catch (...) {
    FinishWork(WorkWrite);
    throw;
  }
  FinishWork(WorkWrite);
}

int64_t TIdTCPConnection::WriteFileContents(const std::string& AFile, bool) {
  TFileStream f(AFile, TFileStream::Mode::OpenRead);
  int64_t size = f.Size();
  WriteFromStream(&f, true, false);
  return size;
}

// ---------------------------------------------------------------------------
// Command exchange

int16_t TIdTCPConnection::SendCommand(const std::string& ACommand, const TIdReplyCodes& AAccepted) {
  if (ACommand != NoOutputCommand) WriteLine(ACommand);
  return ReadReply(AAccepted);
}

int16_t TIdTCPConnection::SendCommand(const std::string& ACommand, int AAccepted) {
  return SendCommand(
      ACommand, AAccepted == -1 ? TIdReplyCodes{} : TIdReplyCodes{static_cast<int16_t>(AAccepted)});
}

int16_t TIdTCPConnection::ReadReply(int AAccepted) {
  return ReadReply(AAccepted == -1 ? TIdReplyCodes{}
                                   : TIdReplyCodes{static_cast<int16_t>(AAccepted)});
}

int16_t TIdTCPConnection::ReadReply(const TIdReplyCodes& AAccepted) {
  ReplyLines.Clear();
  // Every byte the reply takes from the stream counts, skipped blank lines
  // too, so neither an endless reply nor endless blank lines hold memory or
  // the caller for longer than the caps allow.
  size_t bytes = 0;
  auto nextLine = [&] {
    for (;;) {
      std::string line = ReadLine(std::string(), TimeoutInfinite);
      bytes += LastLineBytes;
      if (bytes > static_cast<size_t>(IdTCPDefaults::MaxReplyBytes))
        RaiseReplyTooLong(IdTCPDefaults::MaxReplyBytes, "bytes");
      line = text::Trim(line);
      if (!line.empty()) return line;
    }
  };
  std::string line = nextLine();
  ReplyLines.Add(line);
  // A multi-line reply ("250-...") ends at the line that starts with the same
  // code followed by a blank (RFC 5321 4.2.1), or at a line too short to be one.
  if (line.size() > 3 && line[3] == '-') {
    std::string endMarker = line.substr(0, 3) + " ";
    for (;;) {
      if (ReplyLines.Count() >= IdTCPDefaults::MaxReplyLines)
        RaiseReplyTooLong(IdTCPDefaults::MaxReplyLines, "lines");
      line = nextLine();
      ReplyLines.Add(line);
      if (line.size() < 4 || text::SameText(line.substr(0, 4), endMarker)) break;
    }
  }
  const std::string& last = ReplyLines.Lines.back();
  int code = 0;
  if (text::StartsText("+OK", last)) {
    code = 1;
  } else if (text::StartsText("-ERR", last)) {
    code = 0;
  } else {
    std::string digits = last.substr(0, 3);
    bool allDigits = digits.size() == 3 && std::all_of(digits.begin(), digits.end(),
                                                       [](char c) { return c >= '0' && c <= '9'; });
    code = allDigits ? std::stoi(digits) : 0;
  }
  LastReplyCode = static_cast<int16_t>(code);
  return CheckReplyCode(LastReplyCode, AAccepted);
}

void TIdTCPConnection::RaiseReplyTooLong(int ALimit, const char* AUnit) {
  // The rest of the reply is still coming: the stream cannot be brought back
  // in step, so the connection is dropped (no farewell command is written)
  // and the lines read so far are let go.
  ReplyLines.Clear();
  DropSocket();
  throw EIdReplyTooLong(ALimit, AUnit);
}

int16_t TIdTCPConnection::CheckReplyCode(int16_t ACode, const TIdReplyCodes& AAccepted) {
  if (!AAccepted.empty() && std::find(AAccepted.begin(), AAccepted.end(), ACode) == AAccepted.end())
    RaiseReplyError();
  return ACode;
}

void TIdTCPConnection::RaiseReplyError() {
  throw EIdProtocolReplyError(LastReplyCode, LastReplyLine());
}

std::string TIdTCPConnection::LastReplyLine() const {
  return ReplyLines.Lines.empty() ? std::string() : ReplyLines.Lines.back();
}

// ---------------------------------------------------------------------------
// Connection state

bool TIdTCPConnection::IsConnected() {
  CheckPeerClosed(false, false);
  return SocketHandle->IsOpen;
}

void TIdTCPConnection::CheckPeerClosed(bool ARaiseIfClosed, bool AIgnoreBuffered) {
  if (!PeerClosed && SocketHandle->IsOpen) return;
  if (SocketHandle->IsOpen) DropSocket();
  if (ARaiseIfClosed && (AIgnoreBuffered || InputBuffer.Empty())) throw EIdConnClosedGracefully();
}

void TIdTCPConnection::PollPeerClosed(bool ARaiseIfClosed) {
  ReceiveFromSocket(ARaiseIfClosed, IdTCPDefaults::PollPeerClosedMs, true, nullptr);
}

void TIdTCPConnection::CloseConnection() {
  DropSocket();
}

void TIdTCPConnection::DropSocket() {
  CloseTLS();
  if (SocketHandle->IsOpen) {
    SignalStatus(TIdStatus::Disconnecting, SocketHandle->RemoteIP);
    std::string remote = SocketHandle->RemoteIP;
    SocketHandle->Close(true);
    PeerClosed = true;
    SignalStatus(TIdStatus::Disconnected, remote);
    FireDisconnected();
  }
  if (InterceptEnabled && Intercept) Intercept->DetachSocket();
}

void TIdTCPConnection::ResetForConnect() {
  SocketHandle->ResetState(true);
  CloseTLS();
  TLSEndedWithoutNotify = false;
  InputBuffer.Clear();
  LineScanned = 0;
  PeerClosed = false;
  Fault = TIdConnectionFault::None;
  StartExchange();
}

void TIdTCPConnection::FireDisconnected() {
  if (OnDisconnected) OnDisconnected(this);
}
