#pragma once
// An ordered, unsorted list of text lines (duplicates allowed).
#include <string>
#include <vector>

class TStringList {
 public:
  virtual ~TStringList() = default;

  int Count() const { return static_cast<int>(Lines.size()); }
  // Raises EListError "List index out of bounds (%d)" outside 0..Count-1.
  const std::string& Strings(int Index) const;
  void Put(int Index, std::string S);
  int Add(std::string S);
  void Insert(int Index, std::string S);
  void Delete(int Index);
  void Clear() { Lines.clear(); }
  void AddStrings(const TStringList& Other);
  int IndexOf(const std::string& S) const;  // exact match, -1 when absent
  // All lines, each followed by CR LF.
  std::string Text() const;
  // Replaces the lines with those of S, split at CR LF, LF or CR.
  void SetText(const std::string& S);

  std::vector<std::string> Lines;

 protected:
  void CheckIndex(int Index, bool AllowEnd = false) const;
};
