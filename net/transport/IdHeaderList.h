#pragma once
// The header lines of an internet message or an HTTP request/response
// (RFC 5322 section 2.2, RFC 9112 section 5): "Name: value" lines kept in order,
// looked up by name without regard to letter case, folded into continuation
// lines when written and unfolded when read.
#include <memory>
#include <string>
#include <string_view>

#include "platform/StringList.h"

class TIdHeaderList : public TStringList {
 public:
  // Written between name and value; its right-trimmed form (":") ends a name.
  std::string Separator = ": ";
  // When false, NameAt returns names in upper case. Lookup ignores case anyway.
  bool KeepNameCase = false;
  // ValueAt joins the continuation lines of a header.
  bool UnfoldOnRead = true;
  // SetValueOf drops old continuation lines and folds the new line.
  bool FoldOnWrite = true;
  // Column limit of folding (RFC 5322 section 2.1.1 recommends 78).
  int FoldWidth = 78;

  // A continuation line is non-empty and starts with a blank or a TAB.
  static bool IsContinuation(std::string_view Line);

  // The text of line Index before its first colon (empty without one), upper-
  // cased unless KeepNameCase. Blanks are kept. Raises EListError outside the list.
  std::string NameAt(int Index) const;
  // The first line whose name equals Name in any letter case, or -1.
  int IndexOfHeader(std::string_view Name) const;
  // The value of the header on line Index (text after the first colon, joined
  // with its continuation lines when UnfoldOnRead), leading blanks removed.
  // Empty for an Index below 0 and for a line without a colon.
  std::string ValueAt(int Index) const;
  // ValueAt(IndexOfHeader(Name)): empty for a missing header.
  std::string ValueOf(std::string_view Name) const;
  // Writes "Name: Value" in place of the header's line (keeping its position) or
  // at the end when it is missing, folded when FoldOnWrite. An empty Value removes
  // the header and its continuation lines.
  void SetValueOf(std::string_view Name, std::string_view Value);

  // The lines Text folds into at FoldWidth: broken only at a blank or TAB outside
  // double quotes; every line after the first starts with a blank.
  std::unique_ptr<TStringList> FoldHeader(std::string_view Text) const;
  // Replaces line Index by the folded lines of Text, in order from Index on.
  void InsertFolded(std::string_view Text, int Index);
  // Deletes the continuation lines directly after line Index.
  void DeleteContinuations(int Index);
};
