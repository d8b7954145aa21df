#pragma once
// The Options window: the user's own outgoing mail server (on or off, host,
// port, security, user name, password) with a test mail, and where the
// password is kept. Built from the component layer, so the same window runs
// on every backend. Modal; OK saves the settings file and the password,
// Cancel changes nothing.
//
//   ShowOptionsWindow(*Form1);  // returns when the window is closed
#include <string>

#include "app/Outgoing.h"
#include "platform/Credentials.h"
#include "ui/BitBtn.h"
#include "ui/CheckBox.h"
#include "ui/ComboBox.h"
#include "ui/Edit.h"
#include "ui/Form.h"
#include "ui/Label.h"

class TForm1;

class TOptionsForm : public TForm {
 public:
  // Fills the window from Main's outgoing server and password (asking the
  // credential store, which also tells whether one answers).
  TOptionsForm(TComponent* AOwner, TForm1& Main);
  ~TOptionsForm() override;

  // Components, named as on the window.
  TCheckBox* chkServer;  // send through my own mail server
  TLabel* lblHost;
  TEdit* edtHost;
  TLabel* lblPort;
  TEdit* edtPort;
  TLabel* lblSecurity;
  TComboBox* cmbSecurity;  // STARTTLS, TLS, None (outgoing::TSecurity order)
  TLabel* lblUser;
  TEdit* edtUser;
  TLabel* lblPassword;
  TEdit* edtPassword;        // masked
  TLabel* lblStore;          // where the password is kept, or that no store answers
  TCheckBox* chkKeepInFile;  // shown only when no credential store answers
  TBitBtn* btnTest;          // Send a test mail
  TCheckBox* chkNotify;      // Show desktop notifications (the settings file's Notify line)
  TCheckBox* chkAutostart;   // Start with the session (the system's own entry, read when opened)
  TBitBtn* btnOk;
  TBitBtn* btnCancel;

  // Handlers.
  void chkServerClick(TComponent* Sender);
  void cmbSecurityChange(TComponent* Sender);
  void btnTestClick(TComponent* Sender);
  void btnOkClick(TComponent* Sender);

  // The server as typed into the window. False, with the message to show in
  // Error, when the port is not a number from 1 to 65535 or (CheckAll, or the
  // server switched on) outgoing::Validate refuses it.
  bool ServerFromFields(outgoing::TOutgoingServer& Server, std::string& Error, bool CheckAll) const;
  // Whether a credential store answered when the window opened (or at the
  // last save, which asks again).
  bool StoreAvailable() const { return FStoreAvailable; }

  // Design: the client area. Below the test button two rows are left free
  // for more check boxes (kSpareTop, kSpareRows of kRowHeight).
  static constexpr int kClientWidth = 380;
  static constexpr int kClientHeight = 406;
  static constexpr int kRowHeight = 28;
  static constexpr int kSpareTop = 298;
  static constexpr int kSpareRows = 2;

 private:
  // Shows where the password goes: the store's name, or that none answers
  // with the choice of the settings file.
  void ShowStore();
  void EnableFields();
  TForm1& FMain;
  bool FStoreAvailable = false;
};

// Opens the Options window for Main modally and frees it when it closes.
void ShowOptionsWindow(TForm1& Main);

// The password of Server for this run, as the settings keep it: from Extra
// (the password line) when the user chose the settings file, else from the
// credential store; empty when neither has one.
std::string StoredOutgoingPassword(const outgoing::TOutgoingServer& Server,
                                   const formtext::TExtraSettings& Extra);

// The window's note when no credential store answers.
inline constexpr const char* kNoStoreNote =
    "No credential store answers, so the password is kept only while Corvale runs, unless you "
    "keep it in the settings file (readable only by you).";
