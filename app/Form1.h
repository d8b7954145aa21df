#pragma once
// The main window of the address monitor: the user's name and e-mail, the
// check interval, Start Minimized, the schedule's two timers, the menus and the
// notification-area icon. Its operations load and save the settings file, run
// the check schedule and handle the icon's callbacks.
#include <cstdint>
#include <string>
#include <vector>

#include <memory>

#include "about/AboutBox.h"
#include "app/EchoSources.h"
#include "app/Outgoing.h"
#include "app/SettingsText.h"
#include "net/dns/IdDNSResolver.h"
#include "net/http/IdHTTP.h"
#include "net/mail/IdMessage.h"
#include "net/mail/IdSMTP.h"
#include "platform/DateTime.h"
#include "platform/Resolvers.h"
#include "platform/SettingsDir.h"
#include "ui/BitBtn.h"
#include "ui/CheckBox.h"
#include "ui/Edit.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "ui/Menu.h"
#include "ui/NotifyIcon.h"
#include "ui/StatusBar.h"
#include "ui/Timer.h"
#include "ui/UpDown.h"

class THistoryForm;

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* AOwner);
  ~TForm1() override;

  // Components, named as on the window.
  TLabel* Label1;
  TEdit* Edit1;  // name
  TLabel* Label2;
  TEdit* Edit2;  // e-mail address(es), comma-separated
  TLabel* Label3;
  TEdit* Edit3;  // hours
  TUpDown* UpDown1;
  TLabel* Label4;
  TEdit* Edit4;  // minutes
  TUpDown* UpDown2;
  TLabel* Label5;
  TCheckBox* CheckBox1;  // Start Minimized
  TBitBtn* BitBtn1;      // Apply
  TBitBtn* BitBtn3;      // &Minimize
  TBitBtn* BitBtn2;      // &Close
  TStatusBar* StatusBar1;
  TTimer* Timer1;  // the check timer
  TTimer* Timer2;  // the countdown timer
  TMainMenu* MainMenu1;
  TMenuItem* Apply1;
  TMenuItem* Minimize1;
  TMenuItem* Close1;
  TMenuItem* SendEmail2;
  TMenuItem* Options1;  // "Options...": the outgoing mail server
  TMenuItem* About2;
  TPopupMenu* PopupMenu1;
  TMenuItem* SendEmail1;
  TMenuItem* Hide1;
  TMenuItem* About1;
  TMenuItem* ShowApplication1;
  TMenuItem* N1;
  TMenuItem* ExitApplication1;
  TAboutBox* AboutBox1;            // the about window's texts and picture
  TIdHTTP* IdHTTP1;                // fetches the echo page
  TIdSMTP* IdSMTP1;                // delivers the notification
  TIdMessage* IdMessage1;          // the notification
  TIdDNSResolver* IdDNSResolver1;  // finds the mail exchangers

  TNotifyIconData TrayIconData{};

  // Program-wide state of the monitor (one window, so one of each).
  std::string ExeDir;       // the executable's directory with its final separator
  std::string SettingsDir;  // the settings file's directory with its final separator
  std::string LastIP;       // the last public address seen, at most kMaxText bytes
  TDateTime PeriodStart{};  // when the current check period began
  // The settings file's lines after its first five (keyed settings of later
  // builds), as read by UpdateForm and written back by UpdateInfo; lines of
  // keys this build does not know are kept.
  formtext::TExtraSettings ExtraSettings;
  // The user's outgoing mail server (off: direct delivery), read from
  // ExtraSettings by UpdateForm and written back by UpdateInfo.
  outgoing::TOutgoingServer Outgoing;
  // The mail account's password for this run (from the credential store, the
  // settings file or the Options window); UpdateInfo never writes it.
  std::string OutgoingPassword;
  // Sends the usual notification mail with LastIP to the e-mail field's
  // addresses through Server as given (enabled or not), logging in with
  // Password: "" when the server took it, else the message to show.
  std::string SendTestMail(const outgoing::TOutgoingServer& Server, const std::string& Password);

  // Where the address is fetched and mail is delivered. Design values from the
  // build; tests point them at loopback servers before creation.
  // host or host:port serving /GetMyIP.pl over http, or a full http:// or
  // https:// address of the echo page
  std::string EchoHost;
  // The address services a build names, asked in order (empty: the one echo
  // page of EchoHost, read by its markers as it always was); the settings file's
  // "Echo Source" lines replace both.
  std::vector<echo::TEchoSource> EchoSources;
  // Services resting after a 403 or 429, until when (by address).
  echo::TRests EchoRests;
  // The address of the service the last check's address came from.
  std::string EchoAnsweredBy;
  std::string DNSServer;  // dotted IPv4 address asked for MX records
  uint16_t DNSPort;
  // Where the system names its DNS servers, asked in order when DNSServer is
  // empty (Linux; Windows asks the system itself). Tests point it at a file
  // of their own.
  std::string ResolverConfig = netconfig::kResolvConfPath;
  uint16_t SMTPPort;
  // Where the settings file lives: beside the executable, or in the user's
  // configuration directory. A design value from the build; tests may change
  // it before creation.
  // NOLINTNEXTLINE(modernize-use-default-member-init): the build picks it in Form1.cpp
  files::TSettingsPlace SettingsPlace;

  // The settings file: SettingsDir + "Corvale.ini".
  std::string SettingsPath() const;

  // Handlers and operations.
  void FormCreate(TComponent* Sender);
  void FormClose(TComponent* Sender, TCloseAction& Action);
  // The countdown rests while the window is hidden: the first panel is its only
  // output. Showing redraws the panel from PeriodStart before the window
  // appears and starts Timer2 again; hiding stops it.
  void FormShow(TComponent* Sender);
  void FormHide(TComponent* Sender);
  void ClearForm();
  void EnableTimeSetting();
  // Writes the settings file from the window and LastIP. Raises EInOutError.
  void UpdateInfo();
  // Reads the settings file into the window and LastIP. Raises EConvertError for
  // a Schedule or Start Min value that is not a number, EInOutError when the
  // file cannot be read.
  void UpdateForm();
  void Edit3Exit(TComponent* Sender);
  void BitBtn1Click(TComponent* Sender);
  void BitBtn3Click(TComponent* Sender);
  void Timer1Timer(TComponent* Sender);
  void Timer2Timer(TComponent* Sender);
  void Apply1Click(TComponent* Sender);
  void Minimize1Click(TComponent* Sender);
  void Close1Click(TComponent* Sender);
  void About1Click(TComponent* Sender);
  void About2Click(TComponent* Sender);
  void SendEmail1Click(TComponent* Sender);
  void SendEmail2Click(TComponent* Sender);
  // Opens the Options window (modal).
  void Options1Click(TComponent* Sender);
  void Hide1Click(TComponent* Sender);
  void ShowApplication1Click(TComponent* Sender);
  void ExitApplication1Click(TComponent* Sender);
  void WndProc(TMessage& Message) override;
  void WMSysCommand(TMessage& Message) override;

  // One public-address check (what the schedule runs).
  virtual void GetMyIP();
  // One public-address check: asks the address services of CheckSources in
  // order (none: fetches the echo page and takes the address between
  // "BEGINIP" and "ENDIP"), mails a change, stores and saves it, and shows it
  // in the status bar and the icon's tip. Address receives what was found; it
  // is left as it was when no service (or the echo page) gives a usable
  // address; when services were asked, the window then says none answered.
  void GetMyIP(std::string& Address);
  // The address fetched: EchoHost when it is a full http:// or https://
  // address, else "http://" + EchoHost + "/GetMyIP.pl".
  std::string EchoUrl() const;
  // The services a check asks, in order: the settings file's "Echo Source"
  // lines that read as sources, else EchoSources; empty when the check asks
  // the echo page at EchoUrl() alone.
  std::vector<echo::TEchoSource> CheckSources() const;
  // Sends the stored address by mail now (the "Send Email" entries).
  virtual void SendEmailNow();
  // Mails NewIP and OldIP to each comma-separated address, through its
  // domain's mail hosts in MailHosts order (the next one when a host cannot
  // be reached or answers 4xx before the mail); stops at the first domain
  // without one. Failed deliveries are skipped silently.
  void SendNotifyMail(const std::string& Name, const std::string& Addresses,
                      const std::string& NewIP, const std::string& OldIP);
  // The pieces between commas, untrimmed, empty pieces included.
  static std::unique_ptr<TStringList> SplitAddressList(const std::string& Addresses);
  // Adds "exchanger=preference" for each answer of an MX query for Domain, in
  // reply order; adds nothing when the query fails.
  void GetMxList(TStringList& List, const std::string& Domain);
  // Where mail for Domain goes, in the order a mail server tries it (RFC 5321
  // 5.1): the exchangers of its MX records by preference, ties in reply order,
  // each once;
  // a domain that has no MX record but has addresses (A records) is its own
  // mail host, at those addresses. Empty when the lookups fail or find
  // neither.
  std::vector<std::string> MailHosts(const std::string& Domain);

  // Bounds of the network components (milliseconds, bytes), so that a stuck
  // or trickling echo or mail host holds the window only this long.
  static constexpr int kConnectTimeoutMs = 15000;              // TCP connect
  static constexpr int kReadTimeoutMs = 30000;                 // longest silence of a peer
  static constexpr int kExchangeTimeoutMs = 60000;             // one whole fetch or delivery
  static constexpr int64_t kEchoBodyCap = int64_t{64} * 1024;  // an address page is tiny
  static constexpr int kDnsReceiveTimeoutMs = 10000;           // each MX query
  // The bounds the network components work with: the constants above unless a
  // test shortens them.
  struct TNetBounds {
    int ConnectMs = kConnectTimeoutMs;
    int ReadMs = kReadTimeoutMs;
    int ExchangeMs = kExchangeTimeoutMs;
    int DnsReceiveMs = kDnsReceiveTimeoutMs;
  };
  // Gives IdHTTP1 and IdSMTP1 these connect, read and exchange bounds now, and
  // every later MX query its receive time-out.
  void SetNetBounds(const TNetBounds& Bounds);
  const TNetBounds& GetNetBounds() const { return FNetBounds; }

  // The tip: the application title, " - " and LastIP, cut to 63 characters;
  // modifies the icon.
  void UpdateTrayTip();
  // The countdown text for Seconds left: "02 : 29 : 05", "00 : -01 : -05".
  static std::string FormatCountdown(int64_t Seconds);

  // Desktop habits: a notification on the desktop, the address history, the
  // window brought forward by a second start of the program.
  TMenuItem* History1 = nullptr;  // "History..." in the menu bar
  // The settings key of the desktop notifications: "1" on (also when the
  // line is missing), "0" off.
  static constexpr const char* kKeyNotify = "Notify";
  static constexpr const char* kAddressNoticeTitle = "Corvale: new IP address";
  static constexpr const char* kMailNoticeTitle = "Corvale: mail not delivered";
  // Sent to the main window by another start of the program: it comes
  // forward (shown if it was hidden).
  static constexpr unsigned kActivateMessage = WM_USER + 2;
  bool DesktopNotifications() const;
  void SetDesktopNotifications(bool On);
  // A notification on the desktop from the icon, unless they are turned off;
  // true when the desktop took it.
  bool ShowDesktopNotice(const std::string& Title, const std::string& Text, bool Warning);
  // The notification of a change from OldIP (empty: none known) to NewIP,
  // shown before the mail goes out (mail can be slow).
  void ShowAddressNotice(const std::string& NewIP, const std::string& OldIP);
  // The notification that the mail to Address was not delivered, for Reason.
  void MailNotDelivered(const std::string& Address, const std::string& Reason);
  // The history file: SettingsDir + history::kFileName.
  std::string HistoryPath() const;
  // Adds NewIP, reported by Source, to the history with the local time; a
  // history that cannot be written is left as it is.
  void RecordAddress(const std::string& NewIP, const std::string& Source);
  void History1Click(TComponent* Sender);

  // The most characters (bytes) a name, address or e-mail text keeps.
  static constexpr size_t kMaxText = 255;

 private:
  // Makes IdHTTP1, IdSMTP1, IdMessage1 and IdDNSResolver1 with their design
  // values.
  void CreateNetworkComponents();
  // One query of QType for Domain with IdDNSResolver1, to DNSServer or else
  // to the system's servers in order (the next when one is silent, fails or
  // refuses, all within one receive time-out); true when a reply without
  // error was decoded (its records are then in the resolver).
  bool Lookup(const std::string& Domain, uint16_t QType);
  // Asks Sources in order, skipping those at rest, until one answers with an
  // acceptable address (into Value, its address into EchoAnsweredBy); all
  // within one exchange bound. False with the last failure's reason in
  // Reason when none did.
  bool AskEchoSources(const std::vector<echo::TEchoSource>& Sources, std::string& Value,
                      std::string& Reason);
  // Delivers IdMessage1 through the first of Hosts that takes the session.
  void DeliverToFirstAvailable(const std::vector<std::string>& Hosts);
  // Mails Msg in one session to every address of To (one RCPT each) through
  // Server, logged in as its user with Password. The envelope sender and
  // From are the user name when it is an e-mail address, else To's first.
  // Raises Exception with the message to show, the server's own reply line
  // when it refused.
  void SendThroughAccount(TIdMessage& Msg, const std::vector<std::string>& To,
                          const outgoing::TOutgoingServer& Server, const std::string& Password);
  // Runs GetMyIP unless one is already running further down the stack (a
  // message pump inside a check can deliver a due timer tick); returns whether
  // it ran.
  bool RunCheck();
  void SetTip(const std::string& Tip);
  // Turns the countdown on (start-up, Apply): Timer2 runs now if the window is
  // shown, else from the moment it is shown.
  void StartCountdown();
  // Sets the first panel to the time left until the next check.
  void DrawCountdown();
  TNetBounds FNetBounds;
  bool FChecking = false;
  bool FCountdownOn = false;
  THistoryForm* FHistoryWindow = nullptr;  // the History window while it is open  // the schedule's
                                           // countdown is on (Timer2 may rest)
};

// The main window (null before it is created and after it is freed).
extern TForm1* Form1;
