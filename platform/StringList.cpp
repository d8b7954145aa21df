#include "platform/StringList.h"

#include "platform/Exception.h"

void TStringList::CheckIndex(int Index, bool AllowEnd) const {
  int limit = Count() + (AllowEnd ? 1 : 0);
  if (Index < 0 || Index >= limit)
    throw EListError("List index out of bounds (" + std::to_string(Index) + ")");
}

const std::string& TStringList::Strings(int Index) const {
  CheckIndex(Index);
  return Lines[static_cast<size_t>(Index)];
}

void TStringList::Put(int Index, std::string S) {
  CheckIndex(Index);
  Lines[static_cast<size_t>(Index)] = std::move(S);
}

int TStringList::Add(std::string S) {
  Lines.push_back(std::move(S));
  return Count() - 1;
}

void TStringList::Insert(int Index, std::string S) {
  CheckIndex(Index, true);
  Lines.insert(Lines.begin() + Index, std::move(S));
}

void TStringList::Delete(int Index) {
  CheckIndex(Index);
  Lines.erase(Lines.begin() + Index);
}

void TStringList::AddStrings(const TStringList& Other) {
  Lines.insert(Lines.end(), Other.Lines.begin(), Other.Lines.end());
}

int TStringList::IndexOf(const std::string& S) const {
  for (size_t i = 0; i < Lines.size(); ++i)
    if (Lines[i] == S) return static_cast<int>(i);
  return -1;
}

std::string TStringList::Text() const {
  std::string r;
  for (const auto& l : Lines) {
    r += l;
    r += "\r\n";
  }
  return r;
}

void TStringList::SetText(const std::string& S) {
  Lines.clear();
  size_t i = 0;
  const size_t n = S.size();
  while (i < n) {
    size_t j = i;
    while (j < n && S[j] != '\r' && S[j] != '\n') ++j;
    Lines.push_back(S.substr(i, j - i));
    if (j < n && S[j] == '\r') {
      ++j;
      if (j < n && S[j] == '\n') ++j;
    } else if (j < n) {
      ++j;
    }
    i = j;
  }
}
