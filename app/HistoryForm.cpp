#include "app/HistoryForm.h"

#include <utility>

#include "platform/Text.h"
#include "ui/Clipboard.h"

namespace {
// Layout of the design (client area in pixels).
constexpr int kClientWidth = 520;
constexpr int kClientHeight = 300;
constexpr int kMargin = 8;
constexpr int kLabelHeight = 18;
constexpr int kButtonWidth = 90;
constexpr int kButtonHeight = 28;
// Between the fields of a row.
constexpr const char* kRowGap = "   ";
}  // namespace

THistoryForm::THistoryForm(TComponent* AOwner, std::vector<history::TEntry> Entries)
    : TForm(AOwner), FEntries(std::move(Entries)) {
  Name = "HistoryForm";
  SetCaption("Corvale - Address History");
  SetBounds(0, 0, kClientWidth, kClientHeight);
  Sizeable = false;
  MinimizeBox = false;
  MaximizeBox = false;
  CenterOnScreen = true;

  const int buttonTop = kClientHeight - kMargin - kButtonHeight;
  Label1 = TComponent::Create<TLabel>(*this);
  Label1->Name = "Label1";
  Label1->SetParent(this);
  Label1->SetBounds(kMargin, kMargin, kClientWidth - 2 * kMargin, kLabelHeight);
  Label1->SetCaption(FEntries.size() == 1 ? std::string("1 change, newest first")
                                          : text::IntToStr(static_cast<int64_t>(FEntries.size())) +
                                                " changes, newest first");
  ListBox1 = TComponent::Create<TListBox>(*this);
  ListBox1->Name = "ListBox1";
  ListBox1->SetParent(this);
  const int listTop = kMargin + kLabelHeight + kMargin / 2;
  ListBox1->SetBounds(kMargin, listTop, kClientWidth - 2 * kMargin, buttonTop - kMargin - listTop);
  ListBox1->SetItems(Rows(FEntries));

  CopyButton = TComponent::Create<TBitBtn>(*this);
  CopyButton->Name = "CopyButton";
  CopyButton->SetParent(this);
  CopyButton->SetCaption("&Copy");
  CopyButton->SetBounds(kClientWidth - 2 * (kMargin + kButtonWidth), buttonTop, kButtonWidth,
                        kButtonHeight);
  CopyButton->SetEnabled(!FEntries.empty());
  CopyButton->OnClick = [this](TComponent* S) { CopyButtonClick(S); };

  CloseButton = TComponent::Create<TBitBtn>(*this);
  CloseButton->Name = "CloseButton";
  CloseButton->SetParent(this);
  CloseButton->SetCaption("Close");
  CloseButton->Kind = TBitBtnKind::bkClose;
  CloseButton->SetBounds(kClientWidth - kMargin - kButtonWidth, buttonTop, kButtonWidth,
                         kButtonHeight);
  CloseButton->ModalResult = mrCancel;
  CloseButton->Default = true;
  CloseButton->Cancel = true;
}

std::vector<std::string> THistoryForm::Rows(const std::vector<history::TEntry>& Entries) {
  if (Entries.empty()) return {kNoChanges};
  std::vector<std::string> rows;
  rows.reserve(Entries.size());
  for (size_t i = Entries.size(); i-- > 0;) {
    const history::TEntry& e = Entries[i];
    rows.push_back(e.When + kRowGap + e.Address + kRowGap + e.Source);
  }
  return rows;
}

std::string THistoryForm::ClipboardText(const std::vector<history::TEntry>& Entries) {
  std::string out;
  for (size_t i = Entries.size(); i-- > 0;) {
    const history::TEntry& e = Entries[i];
    out += e.When + '\t' + e.Address + '\t' + e.Source + '\n';
  }
  return out;
}

void THistoryForm::CopyButtonClick(TComponent*) {
  SetClipboardText(ClipboardText(FEntries));
}
