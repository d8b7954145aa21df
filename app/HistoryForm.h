#pragma once
// The History window: the address history, newest change first, with a button
// that copies it to the clipboard and one that closes the window.
#include <string>
#include <vector>

#include "app/History.h"
#include "ui/BitBtn.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "ui/ListBox.h"

class THistoryForm : public TForm {
 public:
  // The window showing Entries (oldest first, as the file holds them).
  THistoryForm(TComponent* AOwner, std::vector<history::TEntry> Entries);

  TLabel* Label1;  // how many changes are listed
  TListBox* ListBox1;
  TBitBtn* CopyButton;
  TBitBtn* CloseButton;

  // Puts the listed changes on the clipboard, a line each, newest first, the
  // fields separated by tabs (they paste into a spreadsheet's columns).
  void CopyButtonClick(TComponent* Sender);

  // The rows the window lists for Entries: newest first, each
  // "<when>  <address>  <source>"; one row saying so when there is none.
  static std::vector<std::string> Rows(const std::vector<history::TEntry>& Entries);
  // The clipboard's text for Entries (see CopyButtonClick); LF ends each line.
  static std::string ClipboardText(const std::vector<history::TEntry>& Entries);

  static constexpr const char* kNoChanges = "No address change has been recorded yet.";

 private:
  std::vector<history::TEntry> FEntries;
};
