// The Options window on the headless backend: its fields from the settings
// file, the checks of OK (a message and nothing saved), Cancel, a save with
// the password in the credential store or (no store answers) in the settings
// file by the user's choice, and the test mail against a loopback server.
// Linux: a private session bus, with gnome-keyring-daemon where a store must
// answer; Windows: the Credential Manager.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/Form1.h"
#include "app/OptionsForm.h"
#include "platform/Credentials.h"
#include "platform/Files.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"
// After the component layer's headers (the Windows headers' macros).
#include "tests/support/ScriptedTcpServer.h"
#include "tests/support/TestEnv.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "tests/support/SecretServiceBus.h"
#endif

namespace {

namespace fs = std::filesystem;

// The first five lines of every settings file here, kept by every save.
constexpr const char* kFiveLines =
    "Name          Ann\r\nEmail         ann@example.org\r\nSchedule      3600\r\n"
    "Start Min     0\r\nIP            192.0.2.7\r\n";
// A server as the settings file keeps it: TLS on 465 for ann.
constexpr const char* kServerLines =
    "Mail Server   1\r\nMail Host     smtp.example.test\r\nMail Port     465\r\n"
    "Mail Security TLS\r\nMail User     ann\r\nMail Keep Pw  0\r\n";

// The window does not check the address.
class QuietForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {}
};

class OptionsFormTest : public ::testing::Test {
 protected:
  OptionsFormTest() : dir(testenv::MakeTempDir("corvale-options-")) {}
  ~OptionsFormTest() override {
    app.reset();
    credentials::DeletePassword("smtp.example.test", "ann");
    fs::remove_all(dir);
  }
#ifndef _WIN32
  // One private bus for the suite (the process keeps the session bus it
  // first reached); a store answers only while a test runs the keyring on it.
  static void SetUpTestSuite() {
    bus = std::make_unique<SessionBus>();
    bus->Start();
    address = std::make_unique<testenv::ScopedVariable>("DBUS_SESSION_BUS_ADDRESS",
                                                        bus->Address().c_str());
  }
  static void TearDownTestSuite() {
    address.reset();
    bus.reset();
  }
  static inline std::unique_ptr<SessionBus> bus;
  static inline std::unique_ptr<testenv::ScopedVariable> address;
  std::unique_ptr<KeyringDaemon> keyring;
#endif
  // A credential store answers from now on (for this test).
  void StartStore() {
#ifndef _WIN32
    keyring = std::make_unique<KeyringDaemon>(*bus);
    keyring->Start();
#endif
  }
  std::string Ini() const {
    return dir + "/Corvale.ini";
  }
  // The settings file after a save: its first five lines and the mail
  // server's, without the lines of other settings a save may add.
  std::string Saved() const {
    const std::string all = files::ReadFile(Ini());
    std::string kept;
    size_t line = 0;
    for (size_t at = 0; at < all.size(); ++line) {
      size_t end = all.find("\r\n", at);
      end = end == std::string::npos ? all.size() : end + 2;
      if (line < 5 || all.compare(at, 5, "Mail ") == 0) kept += all.substr(at, end - at);
      at = end;
    }
    return kept;
  }
  void Start(const std::string& Settings) {
    std::ofstream(Ini(), std::ios::binary) << Settings;
    auto b = std::make_unique<THeadlessBackend>();
    ui = b.get();
    app = std::make_unique<TApplication>(std::move(b), dir + "/Corvale");
    app->ShowMainForm = false;
    form = app->CreateForm<QuietForm>();
  }
  // Opens the window from the menu; Body acts in it while it is shown.
  int Open(const std::function<void(TOptionsForm&)>& Body) {
    // The window is freed when it closes: its result is read while it is up.
    int result = mrNone;
    ui->OnShowModal = [&](TForm& f) {
      Body(dynamic_cast<TOptionsForm&>(f));
      result = f.ModalResult == mrNone ? mrCancel : f.ModalResult;
    };
    const size_t before = ui->ModalForms.size();
    form->Options1->Click();
    EXPECT_EQ(ui->ModalForms.size(), before + 1);
    return result;
  }
  static void Fill(TOptionsForm& w, bool On, const std::string& Host, const std::string& Port,
                   int Security, const std::string& User, const std::string& Password) {
    w.chkServer->SetChecked(On);
    w.edtHost->SetText(Host);
    w.edtPort->SetText(Port);
    w.cmbSecurity->SetItemIndex(Security);
    w.edtUser->SetText(User);
    w.edtPassword->SetText(Password);
  }

  std::string dir;
  THeadlessBackend* ui = nullptr;
  std::unique_ptr<TApplication> app;
  QuietForm* form = nullptr;
};

TEST_F(OptionsFormTest, OpensWithTheSettingsAndAMaskedPassword) {
  StartStore();
  ASSERT_TRUE(credentials::StorePassword("smtp.example.test", "ann", "from the store").Ok());
  Start(std::string(kFiveLines) + kServerLines);
  EXPECT_EQ(form->OutgoingPassword, "from the store") << "read at start-up";
  form->OutgoingPassword.clear();
  const int result = Open([](TOptionsForm& w) {
    EXPECT_TRUE(w.chkServer->GetChecked());
    EXPECT_EQ(w.edtHost->GetText(), "smtp.example.test");
    EXPECT_EQ(w.edtPort->GetText(), "465");
    EXPECT_EQ(w.cmbSecurity->GetItems(), (std::vector<std::string>{"STARTTLS", "TLS", "None"}));
    EXPECT_EQ(w.cmbSecurity->GetText(), "TLS");
    EXPECT_EQ(w.edtUser->GetText(), "ann");
    EXPECT_EQ(w.edtPassword->GetText(), "from the store");
    EXPECT_EQ(w.edtPassword->PasswordChar, '*');
    EXPECT_TRUE(w.StoreAvailable());
    EXPECT_FALSE(w.chkKeepInFile->GetVisible());
    EXPECT_TRUE(w.edtHost->GetEnabled());
    // Picking a security moves the port along only from the other's port.
    w.cmbSecurity->SetItemIndex(0);
    EXPECT_EQ(w.edtPort->GetText(), "587");
    w.cmbSecurity->SetItemIndex(1);
    EXPECT_EQ(w.edtPort->GetText(), "465");
    w.edtPort->SetText("2465");
    w.cmbSecurity->SetItemIndex(0);
    EXPECT_EQ(w.edtPort->GetText(), "2465");
    // Off greys the fields.
    w.chkServer->SetChecked(false);
    EXPECT_FALSE(w.edtHost->GetEnabled());
    EXPECT_FALSE(w.btnTest->GetEnabled());
    // Whatever was typed, Cancel (and Escape) changes nothing.
    Fill(w, true, "other.example.test", "25", 0, "bob", "typed");
    w.Perform(WM_KEYDOWN, VK_ESCAPE, 0);
  });
  EXPECT_EQ(result, mrCancel);
  EXPECT_EQ(files::ReadFile(Ini()), std::string(kFiveLines) + kServerLines);
  EXPECT_EQ(form->Outgoing.Host, "smtp.example.test");
  EXPECT_EQ(form->OutgoingPassword, "");
  std::string kept;
  EXPECT_TRUE(credentials::ReadPassword("smtp.example.test", "ann", kept).Ok());
  EXPECT_EQ(kept, "from the store");
  EXPECT_TRUE(ui->MessageBoxes.empty());
}

TEST_F(OptionsFormTest, OkRefusesABadValueWithAMessageAndSavesNothing) {
  Start(std::string(kFiveLines) + kServerLines);
  const std::string none =
      "Security \"None\" would send the password in clear text: it is allowed only for a "
      "server on this machine (an address such as 127.0.0.1). Choose STARTTLS or TLS.";
  const std::string port = "The port must be a number from 1 to 65535.";
  struct Case {
    std::string host, port;
    int security;
    std::string user, message;
  } cases[] = {
      {"", "587", 0, "ann", "Please enter the outgoing mail server's name."},
      {"smtp.example.test", "0", 0, "ann", port},
      {"smtp.example.test", "65536", 0, "ann", port},
      {"smtp.example.test", "58 7", 0, "ann", port},
      {"smtp.example.test", "", 0, "ann", port},
      {"smtp.example.test", "25", 2, "ann", none},
      {"127.0.0.2x", "25", 2, "ann", none},
      {"smtp.example.test", "587", 0, " ", "Please enter the user name of the mail account."},
  };
  Open([&](TOptionsForm& w) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.host + " " + c.port + " " + c.user);
      ui->MessageBoxes.clear();
      Fill(w, true, c.host, c.port, c.security, c.user, "pw");
      w.btnOk->Click();
      ASSERT_EQ(ui->MessageBoxes.size(), 1u);
      EXPECT_EQ(ui->MessageBoxes[0].Text, c.message);
      EXPECT_EQ(ui->MessageBoxes[0].Flags, MB_OK | MB_ICONERROR);
      EXPECT_EQ(w.ModalResult, mrNone) << "the window stays open";
    }
  });
  EXPECT_EQ(files::ReadFile(Ini()), std::string(kFiveLines) + kServerLines);
  EXPECT_EQ(form->Outgoing.Port, 465);
}

TEST_F(OptionsFormTest, OkKeepsThePasswordInTheStoreAndTheServerInTheFile) {
  StartStore();
  Start(kFiveLines);
  // The port at both ends of its range, then a server on 587 with a
  // password; a server switched off keeps its fields, never refused.
  for (const char* port : {"1", "65535"}) {
    EXPECT_EQ(Open([&](TOptionsForm& w) {
                Fill(w, true, " smtp.example.test ", port, 0, "ann", "first");
                w.btnOk->Click();
              }),
              mrOk);
    EXPECT_EQ(form->Outgoing.Port, std::stoi(port));
  }
  EXPECT_EQ(Open([](TOptionsForm& w) {
              Fill(w, true, "smtp.example.test", "587", 0, "ann", "s3cret pw");
              w.btnOk->Click();
            }),
            mrOk);
  EXPECT_TRUE(ui->MessageBoxes.empty());
  EXPECT_EQ(Saved(),
            std::string(kFiveLines) +
                "Mail Server   1\r\nMail Host     smtp.example.test\r\nMail Port     587\r\n"
                "Mail Security STARTTLS\r\nMail User     ann\r\nMail Keep Pw  0\r\n");
  EXPECT_EQ(form->OutgoingPassword, "s3cret pw");
  std::string kept;
  EXPECT_TRUE(credentials::ReadPassword("smtp.example.test", "ann", kept).Ok());
  EXPECT_EQ(kept, "s3cret pw");

  EXPECT_EQ(Open([](TOptionsForm& w) {
              Fill(w, false, "", "x", 1, "", "");
              w.btnOk->Click();
            }),
            mrOk);
  EXPECT_EQ(Saved(), std::string(kFiveLines) +
                         "Mail Server   0\r\nMail Host     \r\nMail Port     587\r\n"
                         "Mail Security TLS\r\nMail User     \r\nMail Keep Pw  0\r\n");
  EXPECT_TRUE(credentials::ReadPassword("smtp.example.test", "ann", kept).Ok())
      << "switching off leaves the store alone";
}

#ifndef _WIN32
TEST_F(OptionsFormTest, WithoutAStoreThePasswordStaysInMemoryOrInAPrivateFileByChoice) {
  Start(std::string(kFiveLines) + kServerLines);
  const std::string atLimit(TForm1::kMaxText, 'p');
  Open([&](TOptionsForm& w) {
    EXPECT_FALSE(w.StoreAvailable());
    EXPECT_EQ(w.lblStore->GetCaption(), kNoStoreNote);
    EXPECT_TRUE(w.chkKeepInFile->GetVisible());
    EXPECT_FALSE(w.chkKeepInFile->GetChecked());
    Fill(w, true, "smtp.example.test", "465", 1, "ann", "only in memory");
    w.btnOk->Click();
  });
  EXPECT_EQ(Saved(), std::string(kFiveLines) + kServerLines);
  EXPECT_EQ(form->OutgoingPassword, "only in memory");

  Open([&](TOptionsForm& w) {
    EXPECT_EQ(w.edtPassword->GetText(), "only in memory");
    w.chkKeepInFile->SetChecked(true);
    w.edtPassword->SetText(atLimit + "p");
    w.btnOk->Click();
    ASSERT_EQ(ui->MessageBoxes.size(), 1u);
    EXPECT_EQ(ui->MessageBoxes[0].Text,
              "A password kept in the settings file can be at most 255 bytes, on one line.");
    EXPECT_EQ(w.ModalResult, mrNone);
    w.edtPassword->SetText(atLimit);
    w.btnOk->Click();
  });
  EXPECT_EQ(Saved(),
            std::string(kFiveLines) +
                "Mail Server   1\r\nMail Host     smtp.example.test\r\nMail Port     465\r\n"
                "Mail Security TLS\r\nMail User     ann\r\nMail Keep Pw  1\r\n"
                "Mail Password " +
                atLimit + "\r\n");
  struct stat st {};
  ASSERT_EQ(stat(Ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The next start reads it from the file.
  app.reset();
  Start(files::ReadFile(Ini()));
  EXPECT_EQ(form->OutgoingPassword, atLimit);
}
#endif

TEST_F(OptionsFormTest, TheTestMailGoesThroughTheFieldsAsTyped) {
  Start(kFiveLines);
  // A relay on this machine with security None: AUTH PLAIN, then the mail;
  // and one that refuses the login.
  auto greeting = [] {
    return ScriptedTcpServer::Script()
        .Send("220 relay.test ESMTP\r\n")
        .ReadLine()
        .Send("250-relay.test\r\n250 AUTH PLAIN\r\n")
        .ReadLine()  // RSET
        .Send("250 2.0.0 Ok\r\n")
        .ReadLine();
  };
  ScriptedTcpServer relay(greeting()
                              .Send("235 2.7.0 Authentication successful\r\n")
                              .ReadLine()
                              .Send("250 2.1.0 Ok\r\n")
                              .ReadLine()
                              .Send("250 2.1.5 Ok\r\n")
                              .ReadLine()
                              .Send("354 go on\r\n")
                              .ReadUntil("\r\n.\r\n")
                              .Send("250 2.0.0 queued\r\n")
                              .ReadLine()
                              .Send("221 bye\r\n"));
  ScriptedTcpServer refusing(greeting()
                                 .Send("535 5.7.8 Username and Password not accepted\r\n")
                                 .ReadLine()
                                 .Send("221 bye\r\n"));
  Open([&](TOptionsForm& w) {
    Fill(w, true, "127.0.0.1", std::to_string(relay.Port()), 2, "ann", "pw");
    w.btnTest->Click();
    ASSERT_TRUE(relay.WaitForFinished(1));
    ASSERT_EQ(ui->MessageBoxes.size(), 1u);
    EXPECT_EQ(ui->MessageBoxes[0].Text, "The test mail was sent.") << relay.Received(0);
    // "\0ann\0pw" in Base64 (RFC 4616).
    EXPECT_NE(relay.Received(0).find("AUTH PLAIN AGFubgBwdw==\r\n"), std::string::npos);
    std::string received = relay.Received(0);
    for (char& c : received) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_NE(received.find("rcpt to:<ann@example.org>\r\n"), std::string::npos) << received;

    w.edtPort->SetText(std::to_string(refusing.Port()));
    w.btnTest->Click();
    ASSERT_EQ(ui->MessageBoxes.size(), 2u);
    EXPECT_EQ(ui->MessageBoxes[1].Text.rfind("The test mail was not sent: ", 0), 0u);
    EXPECT_NE(ui->MessageBoxes[1].Text.find("535 5.7.8 Username and Password not accepted"),
              std::string::npos)
        << ui->MessageBoxes[1].Text;
    EXPECT_EQ(ui->MessageBoxes[1].Flags, MB_OK | MB_ICONERROR);
    // A bad field is the first thing the test reports.
    w.edtPort->SetText("0");
    w.btnTest->Click();
    ASSERT_EQ(ui->MessageBoxes.size(), 3u);
    EXPECT_EQ(ui->MessageBoxes[2].Text,
              "The test mail was not sent: The port must be a number from 1 to 65535.");
  });
  EXPECT_EQ(files::ReadFile(Ini()), kFiveLines) << "a test saves nothing";
}

}  // namespace
