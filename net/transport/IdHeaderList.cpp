#include "net/transport/IdHeaderList.h"

#include "platform/Locale.h"
#include "platform/Text.h"

namespace {

// A folded line goes on after CR LF and one blank (RFC 5322 section 2.2.3).
constexpr std::string_view kBreakText = "\r\n ";

bool IsBreakChar(char C) {
  return C == ' ' || C == '\t';
}

// A fold already in the text at P: CR LF and a blank (kBreakText, which is
// matched without regard to case) or CR LF and a TAB, as between encoded words.
bool IsExistingBreak(std::string_view Line, size_t P) {
  if (text::SameText(Line.substr(P, kBreakText.size()), kBreakText)) return true;
  return Line.substr(P, 3) == "\r\n\t";
}

// Wraps Line with kBreakText at the last blank or TAB (outside double quotes)
// before the column passes Width. Positions are 1-based. A CR LF blank or CR
// LF TAB already in the text is kept as a break. The second byte of a
// double-byte character (Windows code pages) is never looked at; in UTF-8 no
// byte of a multi-byte sequence is a blank, TAB, CR or quote. Either way a
// break never splits a character.
std::string WrapText(std::string_view Line, int Width) {
  const size_t len = Line.size();
  auto at = [&](size_t p) { return Line[p - 1]; };
  std::string result;
  size_t col = 1;
  size_t pos = 1;
  size_t lineStart = 1;
  size_t breakPos = 0;
  bool inQuote = false;
  bool existingBreak = false;
  while (pos <= len) {
    const char cur = at(pos);
    if (IsLeadByte(cur)) {
      ++pos;
      ++col;
    } else if (cur == kBreakText[0]) {
      if (!inQuote && IsExistingBreak(Line, pos - 1)) {
        existingBreak = true;
        pos += kBreakText.size() - 1;
        breakPos = pos;
      }
    } else if (IsBreakChar(cur)) {
      if (!inQuote) breakPos = pos;
    } else if (cur == '"') {
      inQuote = !inQuote;
    }
    ++pos;
    ++col;
    if (!inQuote && (existingBreak || (col > static_cast<size_t>(Width) && breakPos > lineStart))) {
      col = pos - breakPos;
      result.append(Line.substr(lineStart - 1, breakPos - lineStart + 1));
      // After a closing quote the next character is kept as it stands.
      if (cur != '"') {
        while (pos <= len && (IsBreakChar(at(pos)) || at(pos) == '\r' || at(pos) == '\n')) ++pos;
      }
      // No break when at most one character would move to the next line.
      if (!existingBreak && pos < len) result.append(kBreakText);
      ++breakPos;
      lineStart = breakPos;
      existingBreak = false;
    }
  }
  result.append(Line.substr(lineStart - 1));
  return result;
}

// Whether the name of Line (its text before the first Colon; empty without
// one) equals Name in any letter case. Compared in place: every lookup runs
// over every line, so copying and upper-casing each name would cost a copy of
// the whole list per lookup.
bool NameMatches(std::string_view Line, std::string_view Name, std::string_view Colon) {
  if (Name.empty()) {
    const size_t colon = Line.find(Colon);
    return colon == std::string_view::npos || colon == 0;
  }
  // A name is never empty here, so the line's first colon must stand right
  // after Name's length, with Name's letters before it.
  if (Colon.empty() || Line.size() < Name.size() + Colon.size()) return false;
  if (Line.substr(Name.size(), Colon.size()) != Colon) return false;
  if (!text::SameText(Line.substr(0, Name.size()), Name)) return false;
  // No colon may start earlier (the letters matched, so only a Name that
  // holds a colon itself can have one).
  return Line.substr(0, Name.size() + Colon.size() - 1).find(Colon) == std::string_view::npos;
}

}  // namespace

bool TIdHeaderList::IsContinuation(std::string_view Line) {
  return !Line.empty() && IsBreakChar(Line.front());
}

std::string TIdHeaderList::NameAt(int Index) const {
  const std::string& line = Strings(Index);
  const size_t colon = line.find(text::TrimRight(Separator));
  if (colon == std::string::npos) return std::string();
  std::string name = line.substr(0, colon);
  return KeepNameCase ? name : text::UpperCase(name);
}

int TIdHeaderList::IndexOfHeader(std::string_view Name) const {
  // The same test as comparing NameAt(i) with Name: upper-casing a name does
  // not change how it compares without regard to case.
  const std::string colon = text::TrimRight(Separator);
  for (int i = 0; i < Count(); ++i)
    if (NameMatches(Lines[static_cast<size_t>(i)], Name, colon)) return i;
  return -1;
}

std::string TIdHeaderList::ValueAt(int Index) const {
  if (Index < 0) return std::string();
  const std::string& line = Strings(Index);
  const size_t colon = line.find(text::TrimRight(Separator));
  std::string value;
  if (colon != std::string::npos) value = line.substr(colon + text::TrimRight(Separator).size());
  if (UnfoldOnRead) {
    // RFC 5322 section 2.2.3: unfolding removes the CR LF before each continuation
    // line; the continuation's own leading whitespace collapses to one blank.
    for (int i = Index + 1; i < Count() && IsContinuation(Strings(i)); ++i) {
      if (!value.empty() && !IsBreakChar(value.back())) value += ' ';
      value += text::TrimLeft(Strings(i));
    }
  }
  return text::TrimLeft(value);
}

std::string TIdHeaderList::ValueOf(std::string_view Name) const {
  return ValueAt(IndexOfHeader(Name));
}

void TIdHeaderList::SetValueOf(std::string_view Name, std::string_view Value) {
  int index = IndexOfHeader(Name);
  if (Value.empty()) {
    if (index < 0) return;
    if (FoldOnWrite) DeleteContinuations(index);
    Delete(index);
    return;
  }
  if (index < 0) index = Add(std::string());
  std::string line = std::string(Name) + Separator + std::string(Value);
  if (FoldOnWrite) {
    DeleteContinuations(index);
    InsertFolded(line, index);
  } else {
    Put(index, std::move(line));
  }
}

std::unique_ptr<TStringList> TIdHeaderList::FoldHeader(std::string_view Text) const {
  auto lines = std::make_unique<TStringList>();
  const std::string wrapped = WrapText(Text, FoldWidth);
  size_t start = 0;
  while (start < wrapped.size()) {
    size_t end = wrapped.find("\r\n", start);
    if (end == std::string::npos) end = wrapped.size();
    lines->Add(text::TrimRight(std::string_view(wrapped).substr(start, end - start)));
    start = end + 2;
  }
  return lines;
}

void TIdHeaderList::InsertFolded(std::string_view Text, int Index) {
  auto folded = FoldHeader(Text);
  if (folded->Count() == 0) {
    Delete(Index);
    return;
  }
  Put(Index, folded->Lines.back());
  for (int i = 0; i + 1 < folded->Count(); ++i) Insert(Index + i, folded->Lines[i]);
}

void TIdHeaderList::DeleteContinuations(int Index) {
  CheckIndex(Index);
  while (Index + 1 < Count() && IsContinuation(Strings(Index + 1))) Delete(Index + 1);
}
