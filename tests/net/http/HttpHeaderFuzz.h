#pragma once
// One fuzz input through the header side of the HTTP client: its lines (split
// at LF, a CR before the LF dropped) as a response header block taken apart by
// TIdHeaderInfo, each line as a chunk-size line and as a date. The decoders'
// own rejections are expected; anything else escaping (or a sanitizer report)
// is a finding. Shared by the libFuzzer target and the unit test that replays
// the seed corpus.
#include <string>
#include <string_view>

#include "net/http/IdHTTP.h"
#include "platform/Exception.h"

inline void FuzzHttpHeaders(std::string_view AInput) {
  TIdHeaderList block;
  size_t start = 0;
  while (start <= AInput.size()) {
    size_t lf = AInput.find('\n', start);
    if (lf == std::string_view::npos) lf = AInput.size();
    std::string_view line = AInput.substr(start, lf - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    try {
      (void)HTTPChunkSize(line);
    } catch (const EIdHTTPProtocolError&) {
    }
    (void)InternetDateToLocal(line);
    block.Add(std::string(line));
    start = lf + 1;
  }
  TIdHeaderInfo info;
  try {
    info.TakeResponseHeaders(block);
  } catch (const EIdHTTPProtocolError&) {
  } catch (const EConvertError&) {
  }
}
