// The main window on the headless backend: start-up with and without a settings
// file, the settings file's format and edge cases, the check schedule on the
// virtual clock, and the icon and window behaviour.
#include <gtest/gtest.h>
#include <cstdlib>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "app/Form1.h"
#include "platform/Files.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

namespace fs = std::filesystem;

// Counts the checks the schedule runs, with the clock and visibility at each.
class CountingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {
    ++Checks;
    CheckTimes.push_back(dynamic_cast<THeadlessBackend&>(Application->Backend()).ElapsedMs());
    VisibleAtCheck.push_back(GetVisible());
    if (Check) Check(*this);
  }
  int Checks = 0;
  std::vector<int64_t> CheckTimes;
  std::vector<bool> VisibleAtCheck;
  std::function<void(CountingForm&)> Check;
};

class Form1Test : public ::testing::Test {
 protected:
  Form1Test() : dir(testenv::MakeTempDir("corvale-form1-")) {
    auto b = std::make_unique<THeadlessBackend>();
    ui = b.get();
    app = std::make_unique<TApplication>(std::move(b), dir + "/Corvale");
    app->ShowMainForm = false;
  }
  ~Form1Test() override {
    app.reset();
    fs::remove_all(dir);
  }
  std::string Ini() const { return dir + "/Corvale.ini"; }
  void WriteIni(const std::string& Content) const {
    std::ofstream(Ini(), std::ios::binary) << Content;
  }
  std::string ReadIni() const { return files::ReadFile(Ini()); }
  CountingForm* Start(std::function<void(CountingForm&)> Check = {}) {
    form = app->CreateForm<CountingForm>([&](CountingForm& f) { f.Check = std::move(Check); });
    return form;
  }

 public:
  static std::string Settings(const std::string& Name, const std::string& Email,
                              const std::string& Schedule, const std::string& StartMin,
                              const std::string& IP) {
    return "Name          " + Name + "\r\nEmail         " + Email + "\r\nSchedule      " +
           Schedule + "\r\nStart Min     " + StartMin + "\r\nIP            " + IP + "\r\n";
  }

 protected:
  std::string dir;
  THeadlessBackend* ui;
  std::unique_ptr<TApplication> app;
  CountingForm* form = nullptr;
};

TEST_F(Form1Test, FirstStartWithoutSettingsShowsTheWindowAndSchedulesNothing) {
  Start();
  EXPECT_EQ(form->Checks, 0);
  EXPECT_FALSE(form->Timer1->GetEnabled());
  EXPECT_FALSE(form->Timer2->GetEnabled());
  EXPECT_EQ(form->Timer1->GetInterval(), 1000u);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "");
  EXPECT_EQ(form->StatusBar1->Panels[1].GetText(), "");
  EXPECT_TRUE(form->GetVisible());
  EXPECT_EQ(form->Edit1->GetText(), "");
  EXPECT_EQ(form->Edit2->GetText(), "");
  EXPECT_EQ(form->Edit3->GetText(), "48");
  EXPECT_EQ(form->Edit4->GetText(), "0");
  EXPECT_EQ(form->ExeDir, dir + "/");
  EXPECT_TRUE(ui->MessageBoxes.empty());
  ui->Advance(int64_t{3} * 3600 * 1000);
  EXPECT_EQ(form->Checks, 0);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "");

  ASSERT_EQ(ui->TrayRequests.size(), 1u);
  const TNotifyIconData& d = ui->TrayRequests[0].Data;
  EXPECT_EQ(ui->TrayRequests[0].Code, NIM_ADD);
  EXPECT_EQ(d.cbSize, 88u);
  EXPECT_EQ(d.Wnd, form->Handle());
  EXPECT_EQ(d.uID, 100u);
  EXPECT_EQ(d.uFlags, 7u);
  EXPECT_EQ(d.uCallbackMessage, 1025u);
  EXPECT_STREQ(d.szTip, "Corvale");
}

TEST_F(Form1Test, ExecutableFolderWrittenWithBackslashesTakesNoSecondSeparator) {
  if (!testenv::kWindows) GTEST_SKIP() << "a backslash separates folders only on Windows";
  app.reset();
  auto b = std::make_unique<THeadlessBackend>();
  ui = b.get();
  app = std::make_unique<TApplication>(std::move(b), dir + "\\Corvale");
  app->ShowMainForm = false;
  WriteIni(Settings("Ann", "ann@example.org", "9000", "0", "192.0.2.7"));
  Start();
  EXPECT_EQ(form->ExeDir, dir + "\\");
  EXPECT_EQ(form->SettingsPath(), dir + "\\Corvale.ini");
  EXPECT_EQ(form->Edit1->GetText(), "Ann") << "the settings beside the executable were read";
}

TEST_F(Form1Test, NormalStartRunsOneCheckAndStartsBothTimers) {
  WriteIni(Settings("  Ann  ", " ann@example.org ", "9000", "0", "192.0.2.7"));
  Start();
  EXPECT_EQ(form->Checks, 1);
  EXPECT_EQ(form->Edit1->GetText(), "Ann");
  EXPECT_EQ(form->Edit2->GetText(), "ann@example.org");
  EXPECT_EQ(form->Edit3->GetText(), "2");
  EXPECT_EQ(form->Edit4->GetText(), "30");
  EXPECT_EQ(form->LastIP, "192.0.2.7");
  EXPECT_EQ(form->Timer1->GetInterval(), 9000000u);
  EXPECT_TRUE(form->Timer1->GetEnabled());
  EXPECT_TRUE(form->Timer2->GetEnabled());
  EXPECT_TRUE(form->GetVisible());

  ui->Advance(1000);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "02 : 29 : 59");
}

TEST_F(Form1Test, StartMinimizedShowsThenHidesBeforeTheLoopAndStillChecks) {
  WriteIni(Settings("Ann", "ann@example.org", "3600", "1", ""));
  Start();
  EXPECT_FALSE(form->GetVisible());
  EXPECT_EQ(form->Checks, 1);
  EXPECT_EQ(form->VisibleAtCheck, std::vector<bool>{false});
  std::vector<std::pair<std::string, bool>> expected{{"Form1", true}, {"Form1", false}};
  EXPECT_EQ(ui->VisibilityLog, expected);
  EXPECT_FALSE(ui->RunCalled);
  app->Run();
  EXPECT_FALSE(form->GetVisible()) << "the loop does not show the main window by itself";
}

struct LoadCase {
  const char* what;
  std::string file;
  std::string name, email;
  int hours, minutes;
  bool checked;
  std::string lastIP;
  std::string error;  // the message box shown, when start-up fails
};

class SettingsLoadTest : public Form1Test, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(SettingsLoadTest, Loads) {
  const LoadCase& c = GetParam();
  WriteIni(c.file);
  Start();
  EXPECT_EQ(form->Edit1->GetText(), c.name);
  EXPECT_EQ(form->Edit2->GetText(), c.email);
  EXPECT_EQ(form->UpDown1->GetPosition(), c.hours);
  EXPECT_EQ(form->UpDown2->GetPosition(), c.minutes);
  EXPECT_EQ(form->CheckBox1->GetChecked(), c.checked);
  EXPECT_EQ(form->LastIP, c.lastIP);
  if (c.error.empty()) {
    EXPECT_TRUE(ui->MessageBoxes.empty());
    EXPECT_EQ(form->Checks, 1);
    EXPECT_TRUE(form->Timer1->GetEnabled());
  } else {
    ASSERT_EQ(ui->MessageBoxes.size(), 1u);
    EXPECT_EQ(ui->MessageBoxes[0].Text, c.error);
    EXPECT_EQ(ui->MessageBoxes[0].Caption, "Corvale");
    EXPECT_EQ(form->Checks, 0) << "start-up stops at the error";
    EXPECT_FALSE(form->Timer1->GetEnabled());
    EXPECT_FALSE(form->Timer2->GetEnabled());
    EXPECT_TRUE(form->GetVisible()) << "the window and the icon stay";
    EXPECT_TRUE(ui->TrayIconPresent);
  }
}

const std::string kLong(300, 'x');
INSTANTIATE_TEST_SUITE_P(
    Form1, SettingsLoadTest,
    ::testing::Values(
        LoadCase{"four lines",
                 "Name          A\r\nEmail         a@b\r\nSchedule      120\r\n"
                 "Start Min     0\r\n",
                 "A", "a@b", 0, 2, false, "", ""},
        LoadCase{"three lines", "Name          Bob\r\nEmail         b@x\r\nSchedule      60\r\n",
                 "Bob", "b@x", 48, 0, false, "", "'' is not a valid integer value"},
        LoadCase{"one line", "Name          Bob", "Bob", "", 48, 0, false, "",
                 "'' is not a valid integer value"},
        LoadCase{"other keys",
                 "Who?          C\r\n\r\nxxxxxxxxxxxxxx600\r\n12345678901234\x31\r\n"
                 "              10.0.0.1\r\n",
                 "C", "", 0, 10, true, "10.0.0.1", ""},
        LoadCase{"over 48 hours", Form1Test::Settings("A", "a", "200000", "0", ""), "A", "a", 48,
                 59, false, "", ""},
        LoadCase{"Start Min 2", Form1Test::Settings("A", "a", "60", "2", ""), "A", "a", 0, 1, false,
                 "", ""},
        LoadCase{"sixth line", Form1Test::Settings("A", "a", "60", "1", "1.2.3.4") + "junk\r\n",
                 "A", "a", 0, 1, true, "1.2.3.4", ""},
        LoadCase{"blanks", Form1Test::Settings(" \tA B \t", "  a@b, c@d  ", "60", "0", " 1.2.3.4 "),
                 "A B", "a@b, c@d", 0, 1, false, " 1.2.3.4 ", ""},
        LoadCase{"untrimmed number", Form1Test::Settings("A", "a", " 60", "0", ""), "A", "a", 48, 0,
                 false, "", "' 60' is not a valid integer value"},
        LoadCase{"bad Start Min", Form1Test::Settings("A", "a", "60", "yes", ""), "A", "a", 48, 0,
                 false, "", "'yes' is not a valid integer value"},
        LoadCase{"bare LF",
                 "Name          A\nEmail         a\nSchedule      3660\nStart Min     0\n"
                 "IP            9.9.9.9\n",
                 "A", "a", 1, 1, false, "9.9.9.9", ""},
        // The value after the key column keeps 255 bytes.
        LoadCase{"long line", Form1Test::Settings("A", "a", "60", "0", kLong), "A", "a", 0, 1,
                 false, std::string(255, 'x'), ""}),
    [](const auto& info) {
      std::string n = info.param.what;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(Form1Test, EveryIntervalSurvivesARoundTripThroughTheFile) {
  Start();
  // Under Wine every write is flushed to disk at tens of milliseconds each, too
  // slow for all 2940 intervals: there every hour and every minute value is
  // taken once, with both ends. The arithmetic is the same code everywhere.
  std::vector<std::pair<int, int>> intervals;
  for (int h = 0; h <= 48; ++h)
    for (int m = 0; m <= 59; ++m)
      if (!testenv::kWindows || m == h % 60 || h == m % 49 || (h == 48 && m == 59))
        intervals.emplace_back(h, m);
  for (const auto& [h, m] : intervals) {
    form->Timer1->SetInterval(static_cast<uint32_t>(h * 3600000 + m * 60000));
    form->UpdateInfo();
    form->UpDown1->SetPosition(7);
    form->UpDown2->SetPosition(7);
    form->UpdateForm();
    ASSERT_EQ(form->UpDown1->GetPosition(), h);
    ASSERT_EQ(form->UpDown2->GetPosition(), m);
  }
}

// Every value is written with at most 255 bytes, cut before a character that
// would not fit whole, and read back byte for byte: the 14-byte key column does
// not count against the value, so a stored address is not shortened by a
// restart (which would count as a change and mail it again).
TEST_F(Form1Test, ValuesAreReadBackAsTheyWereWritten) {
  Start();
  const std::string a2 = "\xC3\xA9";
  const std::string a3 = "\xE2\x82\xAC";
  const std::string a4 = "\xF0\x9F\x98\x80";
  struct Case {
    std::string value, stored;
  } cases[] = {
      {std::string(241, 'a'), std::string(241, 'a')},
      {std::string(242, 'a'), std::string(242, 'a')},
      {std::string(254, 'a'), std::string(254, 'a')},
      {std::string(255, 'a'), std::string(255, 'a')},
      {std::string(256, 'a'), std::string(255, 'a')},
      {std::string(240, 'a') + a2, std::string(240, 'a') + a2},
      {std::string(253, 'a') + a2, std::string(253, 'a') + a2},
      {std::string(254, 'a') + a2, std::string(254, 'a')},
      {std::string(252, 'a') + a3, std::string(252, 'a') + a3},
      {std::string(253, 'a') + a3 + "b", std::string(253, 'a')},
      {std::string(251, 'a') + a4, std::string(251, 'a') + a4},
      {std::string(240, 'a') + a4 + a4 + a4 + a4, std::string(240, 'a') + a4 + a4 + a4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.size());
    form->Edit1->SetText(c.value);
    form->Edit2->SetText(c.value);
    form->LastIP = c.stored;  // a check stores at most 255 bytes
    form->UpdateInfo();
    EXPECT_EQ(ReadIni(), Settings(c.stored, c.stored, "1", "0", c.stored));
    form->Edit1->SetText("");
    form->Edit2->SetText("");
    form->LastIP.clear();
    form->UpdateForm();
    EXPECT_EQ(form->Edit1->GetText(), c.stored);
    EXPECT_EQ(form->Edit2->GetText(), c.stored);
    EXPECT_EQ(form->LastIP, c.stored);
  }
}

TEST_F(Form1Test, SettingsFileHasFiveCrLfLinesAndNoValueCanAddOne) {
  Start();
  form->Edit1->SetText("Eve\r\nStart Min     1");
  form->Edit2->SetText("e@x\n");
  form->CheckBox1->SetChecked(false);
  form->LastIP = "1.2.3.4\r";
  form->UpdateInfo();
  EXPECT_EQ(ReadIni(),
            "Name          Eve  Start Min     1\r\n"
            "Email         e@x \r\n"
            "Schedule      1\r\n"
            "Start Min     0\r\n"
            "IP            1.2.3.4 \r\n");
  form->UpdateForm();
  EXPECT_EQ(form->Edit1->GetText(), "Eve  Start Min     1");
  EXPECT_FALSE(form->CheckBox1->GetChecked());
}

TEST_F(Form1Test, LinesOfALaterBuildSurviveASaveFromTheWindow) {
  // A file written by a build that knows more settings: this window reads its
  // five lines, and an Apply or a check writes the rest back as it was.
  const std::string later = "Relay Host    mail.example\r\nSource        a\r\nSource        b\r\n";
  WriteIni(Settings("Ann", "a@x", "60", "0", "1.2.3.4") + later);
  Start();
  form->Edit1->SetText("Bob");
  form->UpdateInfo();
  EXPECT_EQ(ReadIni(), Settings("Bob", "a@x", "60", "0", "1.2.3.4") + later);
}

TEST_F(Form1Test, FailedWriteLeavesThePreviousFileAndIsReported) {
  const std::string old = Settings("Old", "old@x", "3600", "0", "1.1.1.1");
  WriteIni(old);
  std::ofstream(Ini() + ".tmp") << "left by a crash";
  Start();
  EXPECT_EQ(form->Checks, 1) << "a leftover temporary file does not disturb the start";

  if (!testenv::kFileSizeLimitAvailable)
    GTEST_SKIP() << "no per-process file size limit here to make a write fail part-way";
  // A write that fails part-way (the file-size limit stands in for a full disk).
  form->Edit1->SetText("New");
  {
    testenv::ScopedFileSizeLimit small(20);
    app->Invoke([&] { form->BitBtn1->Click(); });
  }

  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "Disk full");
  EXPECT_EQ(ReadIni(), old);
  // The failed save removed its own temporary file; the one a crash of an
  // older build left is not the program's to touch.
  EXPECT_EQ(testenv::TemporaryFilesBeside(Ini()), std::vector<std::string>{"Corvale.ini.tmp"});
  EXPECT_EQ(files::ReadFile(Ini() + ".tmp"), "left by a crash");

  app->Invoke([&] { form->BitBtn1->Click(); });
  EXPECT_EQ(ReadIni(), Settings("New", "old@x", "3600", "0", "1.1.1.1"));
}

TEST_F(Form1Test, UnwritableSettingsAreReportedAndTheOldFileStays) {
  if (!testenv::ScopedWriteProtect::Binds()) GTEST_SKIP() << "permissions do not bind root";
  const std::string old = Settings("Old", "old@x", "3600", "0", "1.1.1.1");
  WriteIni(old);
  Start();
  {
    testenv::ScopedWriteProtect protect(dir, "Corvale.ini");
    app->Invoke([&] { form->BitBtn1->Click(); });
  }
  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "File access denied");
  EXPECT_EQ(ReadIni(), old);
  EXPECT_EQ(testenv::TemporaryFilesBeside(Ini()), std::vector<std::string>{});
}

TEST(CountdownTest, FormatsEachFieldWithTwoDigitsAndItsSign) {
  struct Case {
    int64_t seconds;
    const char* text;
  } cases[] = {
      {8945, "02 : 29 : 05"}, {18000, "05 : 00 : 00"},   {-65, "00 : -01 : -05"},
      {0, "00 : 00 : 00"},    {176340, "48 : 59 : 00"},  {-3661, "-01 : -01 : -01"},
      {3599, "00 : 59 : 59"}, {360000, "100 : 00 : 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(TForm1::FormatCountdown(c.seconds), c.text) << c.seconds;
}

TEST_F(Form1Test, ApplyAppliesTheIntervalAndCountsDownFromTheCheck) {
  Start();
  form->Edit3->SetText("1");
  form->Edit4->SetText("0");
  form->BitBtn1->Click();
  EXPECT_FALSE(form->GetVisible()) << "Apply hides the window";
  EXPECT_EQ(form->Checks, 1);
  EXPECT_TRUE(form->Timer1->GetEnabled());
  EXPECT_EQ(form->Timer1->GetInterval(), 3600000u);
  EXPECT_EQ(ReadIni(), Settings("", "", "3600", "0", ""));
  form->ShowApplication1->Click();
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "01 : 00 : 00");
  ui->Advance(1000);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 59 : 59");

  // Ticks: each one interval after the previous, the countdown restarting when
  // a check (which takes 5 s here) has returned.
  form->Check = [&](CountingForm&) { ui->Block(5000); };
  ui->Advance(3600000 - 1000);
  EXPECT_EQ(form->Checks, 2);
  EXPECT_EQ(form->PeriodStart, ui->StartTime() + 3605000 / 86400000.0);
  ui->Advance(1000);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 59 : 59");
  ui->Advance(3600000 - 6000);
  EXPECT_EQ(form->Checks, 3);
  EXPECT_EQ(form->CheckTimes[2] - form->CheckTimes[1], 3600000);
}

TEST_F(Form1Test, ThirtyHoursSetWithTheArrowsCountsDown) {
  Start();
  form->Edit3->SetText("29");
  form->UpDown1->Click(TUDBtnType::btNext);  // focus elsewhere: Edit3Exit does not run
  form->BitBtn1->Click();
  EXPECT_EQ(form->Timer1->GetInterval(), 30u * 3600000u);
  ui->Advance(25LL * 3600000);
  form->ShowApplication1->Click();
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "05 : 00 : 00");
}

TEST_F(Form1Test, ZeroIntervalIsRefusedAfterTheCheckAndWritesNothing) {
  WriteIni(Settings("A", "a", "3600", "0", ""));
  Start();
  ui->Advance(5000);
  fs::remove(Ini());
  form->Edit3->SetText("0");
  form->Edit4->SetText("0");
  ui->Advance(60000);  // the schedule's start is now 65 s ago
  form->Checks = 0;
  form->BitBtn1->Click();
  EXPECT_EQ(form->Checks, 1) << "the check runs before the interval is examined";
  ASSERT_EQ(ui->MessageBoxes.size(), 1u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "Please enter a valid time");
  EXPECT_EQ(ui->MessageBoxes[0].Flags, MB_OK);
  EXPECT_FALSE(form->GetVisible());
  EXPECT_FALSE(form->Timer1->GetEnabled());
  EXPECT_FALSE(form->Timer2->GetEnabled()) << "the countdown rests while hidden";
  EXPECT_FALSE(fs::exists(Ini())) << "Apply writes no file";
  // Shown, the countdown goes on from the period start it had.
  ui->PostMessage(form->Handle(), 1025, 100, WM_LBUTTONDBLCLK);
  app->ProcessMessages();
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : -01 : -05");
  EXPECT_TRUE(form->Timer2->GetEnabled());
  ui->Advance(1000);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : -01 : -06");
}

TEST_F(Form1Test, FirstApplyWithZeroIntervalKeepsTheFileTheCheckWrote) {
  Start([](CountingForm& f) {
    f.LastIP = "203.0.113.9";
    f.UpdateInfo();
  });
  form->Edit3->SetText("0");
  form->BitBtn1->Click();
  EXPECT_EQ(ReadIni(), Settings("", "", "1", "0", "203.0.113.9"));

  app = std::make_unique<TApplication>(std::make_unique<THeadlessBackend>(), dir + "/Corvale");
  ui = &dynamic_cast<THeadlessBackend&>(app->Backend());
  Start();
  EXPECT_EQ(form->Checks, 1);
  EXPECT_EQ(form->Edit3->GetText(), "0");
  EXPECT_EQ(form->Edit4->GetText(), "0");
  EXPECT_TRUE(form->Timer1->GetEnabled());
  ui->Advance(48LL * 3600000);
  EXPECT_EQ(form->Checks, 1) << "a zero interval never fires";
}

// Counts Timer2's ticks; each still runs the form's own handler.
void CountTicks(TTimer& Timer, int& Ticks) {
  Timer.OnTimer = [&Ticks, handler = Timer.OnTimer](TComponent* Sender) {
    ++Ticks;
    handler(Sender);
  };
}

// The countdown is only ever seen in the first panel: while the window is
// hidden Timer2 delivers no tick, and showing the window draws the time left
// at once and ticks again a second later. The checks keep their own rhythm.
TEST_F(Form1Test, CountdownRestsWhileHiddenAndIsRedrawnWhenShown) {
  const std::vector<std::pair<const char*, std::function<void(TForm1&)>>> hides{
      {"&Minimize", [](TForm1& f) { f.BitBtn3->Click(); }},
      {"Minimize menu", [](TForm1& f) { f.Minimize1->Click(); }},
      {"Hide", [](TForm1& f) { f.Hide1->Click(); }},
      {"minimize box", [](TForm1& f) { f.Perform(WM_SYSCOMMAND, SC_MINIMIZE, 0); }},
  };
  const std::vector<std::pair<const char*, std::function<void(TForm1&)>>> shows{
      {"double click", [](TForm1& f) { f.Perform(1025, 100, WM_LBUTTONDBLCLK); }},
      {"Show Application", [](TForm1& f) { f.ShowApplication1->Click(); }},
  };
  for (const auto& [hideWay, hide] : hides)
    for (const auto& [showWay, show] : shows) {
      SCOPED_TRACE(std::string(hideWay) + ", " + showWay);
      app = std::make_unique<TApplication>(std::make_unique<THeadlessBackend>(), dir + "/Corvale");
      ui = &dynamic_cast<THeadlessBackend&>(app->Backend());
      WriteIni(Settings("A", "a", "3600", "0", ""));  // one hour, shown
      Start();
      int ticks = 0;
      CountTicks(*form->Timer2, ticks);
      ui->Advance(1000);
      EXPECT_EQ(ticks, 1);
      EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 59 : 59");

      hide(*form);
      ASSERT_FALSE(form->GetVisible());
      EXPECT_FALSE(form->Timer2->GetEnabled());
      ui->Advance(int64_t{10} * 60000);
      EXPECT_EQ(ticks, 1) << "no tick while hidden";

      // 601 s of the hour have passed: 2999 s are left.
      show(*form);
      ASSERT_TRUE(form->GetVisible());
      EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 49 : 59");
      EXPECT_EQ(ticks, 1) << "drawn by the show itself";
      ui->Advance(999);
      EXPECT_EQ(ticks, 1);
      ui->Advance(1);
      EXPECT_EQ(ticks, 2);
      EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 49 : 58");

      // Showing a shown window keeps the rhythm.
      ui->Advance(500);
      show(*form);
      ui->Advance(500);
      EXPECT_EQ(ticks, 3);
      EXPECT_EQ(form->CheckTimes, std::vector<int64_t>{0});
    }
}

// Started minimized, the program wakes only for its checks, which run on
// time; the first show draws the time left from the last check.
TEST_F(Form1Test, StartMinimizedStartsWithTheCountdownRestingAndChecksOnTime) {
  WriteIni(Settings("A", "a", "3600", "1", ""));
  Start();
  ASSERT_FALSE(form->GetVisible());
  EXPECT_TRUE(form->Timer1->GetEnabled());
  EXPECT_FALSE(form->Timer2->GetEnabled());
  int ticks = 0;
  CountTicks(*form->Timer2, ticks);
  form->Check = [&](CountingForm&) { ui->Block(2000); };  // each later check takes 2 s
  ui->Advance(2 * 3600000 + 125000);
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(form->CheckTimes, (std::vector<int64_t>{0, 3600000, 7200000}));
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "") << "never drawn while hidden";

  // The last period began when the check at 2 h returned, 123 s ago.
  ui->PostMessage(form->Handle(), 1025, 100, WM_LBUTTONDBLCLK);
  app->ProcessMessages();
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 57 : 57");
  ui->Advance(1000);
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(form->StatusBar1->Panels[0].GetText(), "00 : 57 : 56");
}

TEST_F(Form1Test, Edit3ExitCapsTypedHoursAt24AndReportsText) {
  Start();
  form->Edit3->SetText("30");
  form->Edit4->DoExit();
  EXPECT_EQ(form->Edit3->GetText(), "24");
  form->Edit3->SetText("24");
  form->Edit3->DoExit();
  EXPECT_EQ(form->Edit3->GetText(), "24");
  form->Edit3->SetText("");
  app->Invoke([&] { form->Edit3->DoExit(); });
  form->Edit3->SetText("1x");
  app->Invoke([&] { form->Edit3->DoExit(); });
  ASSERT_EQ(ui->MessageBoxes.size(), 2u);
  EXPECT_EQ(ui->MessageBoxes[0].Text, "'' is not a valid integer value");
  EXPECT_EQ(ui->MessageBoxes[1].Text, "'1x' is not a valid integer value");
  EXPECT_EQ(form->Edit3->GetText(), "1x") << "the text stays as typed";
}

TEST_F(Form1Test, CheckThatFallsDueDuringACheckIsSkipped) {
  WriteIni(Settings("A", "a", "60", "0", ""));
  Start();
  // A check that blocks past the next tick and then lets messages run.
  form->Check = [&](CountingForm&) {
    ui->Block(61000);
    app->ProcessMessages();
  };
  form->BitBtn1->Click();
  EXPECT_EQ(form->Checks, 2) << "start-up and Apply; the tick due inside was dropped";
  EXPECT_TRUE(form->Timer1->GetEnabled());
}

// A check whose error reaches the application's handler (as one escaping the
// mail routine does) shows a message box; the box's own loop keeps timers
// running, and a check there that fails again would open a box inside the box,
// once per tick, for as long as nobody answers.
TEST_F(Form1Test, NoCheckRunsWhileTheErrorBoxOfACheckIsOpen) {
  const std::vector<std::pair<const char*, std::function<void()>>> triggers{
      {"check tick", [this] { ui->Advance(60000); }},
      {"Apply", [this] { app->Invoke([this] { form->BitBtn1->Click(); }); }},
  };
  for (const auto& [what, trigger] : triggers) {
    SCOPED_TRACE(what);
    app = std::make_unique<TApplication>(std::make_unique<THeadlessBackend>(), dir + "/Corvale");
    ui = &dynamic_cast<THeadlessBackend&>(app->Backend());
    WriteIni(Settings("A", "a", "60", "0", ""));
    Start();
    form->Check = [](CountingForm&) { throw Exception("Socket Error # 10054"); };
    int open = 0;
    int deepest = 0;
    int checksWhileOpen = 0;
    ui->OnMessageBox = [&](const THeadlessBackend::Box&) {
      deepest = std::max(deepest, ++open);
      if (open == 1) {
        // The user leaves the box open for five check intervals.
        const int before = form->Checks;
        ui->Advance(int64_t{5} * 60000);
        checksWhileOpen = form->Checks - before;
      }
      --open;
    };
    const int checks = form->Checks;
    trigger();
    EXPECT_EQ(form->Checks, checks + 1);
    EXPECT_EQ(deepest, 1) << "no box opened inside the box";
    EXPECT_EQ(checksWhileOpen, 0);
    ASSERT_EQ(ui->MessageBoxes.size(), 1u);
    EXPECT_EQ(ui->MessageBoxes[0].Text, "Socket Error # 10054");

    // Once the box is closed the schedule goes on as before: the next tick on
    // the timer's own rhythm runs a check.
    ui->OnMessageBox = nullptr;
    form->Check = nullptr;
    const int64_t closedAt = ui->ElapsedMs();
    ui->Advance(60000);
    EXPECT_EQ(form->Checks, checks + 2);
    EXPECT_LE(form->CheckTimes.back() - closedAt, 60000);
    EXPECT_TRUE(form->Timer1->GetEnabled());
  }
}

TEST_F(Form1Test, IconCallbacksShowOrOpenThePopupAndMinimizeHides) {
  WriteIni(Settings("A", "a", "60", "1", ""));
  Start();
  ASSERT_FALSE(form->GetVisible());
  for (intptr_t mouse : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEMOVE, WM_RBUTTONUP})
    ui->PostMessage(form->Handle(), 1025, 100, mouse);
  app->ProcessMessages();
  EXPECT_FALSE(form->GetVisible()) << "single clicks do nothing";
  EXPECT_TRUE(ui->Popups.empty());

  ui->PostMessage(form->Handle(), 1025, 100, WM_LBUTTONDBLCLK);
  app->ProcessMessages();
  EXPECT_TRUE(form->GetVisible());

  ui->Cursor = {1200, 5};
  ui->PostMessage(form->Handle(), 1025, 100, WM_RBUTTONDOWN);
  app->ProcessMessages();
  ASSERT_EQ(ui->Popups.size(), 1u);
  EXPECT_EQ(ui->Popups[0].Menu, form->PopupMenu1);
  EXPECT_EQ(ui->Popups[0].X, 1200);
  EXPECT_EQ(ui->Popups[0].Y, 5);
  std::vector<std::string> captions;
  for (TMenuItem* i : form->PopupMenu1->Items) captions.push_back(i->Caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"Send Email", "Hide", "About", "Show Application",
                                                "-", "Exit Application"}));

  form->Perform(WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_FALSE(form->GetVisible());
  EXPECT_EQ(form->GetWindowState(), TWindowState::wsNormal) << "hidden, never minimized";
  form->ShowApplication1->Click();
  EXPECT_TRUE(form->GetVisible());
  form->Hide1->Click();
  EXPECT_FALSE(form->GetVisible());
  form->ShowApplication1->Click();
  form->Minimize1->Click();
  EXPECT_FALSE(form->GetVisible());
  EXPECT_FALSE(app->Terminated());
}

TEST_F(Form1Test, EveryWayOfClosingRemovesTheIconAndEndsTheLoop) {
  const std::vector<std::pair<const char*, std::function<void(TForm1&)>>> ways{
      {"close box", [](TForm1& f) { f.Perform(WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"&Close", [](TForm1& f) { f.BitBtn2->Click(); }},
      {"Close menu", [](TForm1& f) { f.Close1->Click(); }},
      {"Exit Application", [](TForm1& f) { f.ExitApplication1->Click(); }},
  };
  for (const auto& [what, close] : ways) {
    auto b = std::make_unique<THeadlessBackend>();
    THeadlessBackend& h = *b;
    TApplication a(std::move(b), dir + "/Corvale");
    auto* f = a.CreateForm<TForm1>();
    close(*f);
    EXPECT_TRUE(a.Terminated()) << what;
    EXPECT_FALSE(h.TrayIconPresent) << what;
    ASSERT_FALSE(h.TrayRequests.empty());
    EXPECT_EQ(h.TrayRequests.back().Code, NIM_DELETE) << what;
    EXPECT_EQ(h.TrayRequests.back().Data.uID, 100u) << what;
  }
}

TEST_F(Form1Test, TipIsCutTo63CharactersWithoutSplittingACharacter) {
  Start();
  form->LastIP = std::string(51, 'a') + "\xC3\xA9\xC3\xA9";  // 10 + 51 + 2 + 2 bytes
  form->UpdateTrayTip();
  EXPECT_EQ(ui->TrayRequests.back().Code, NIM_MODIFY);
  EXPECT_EQ(ui->TrayTip, "Corvale - " + std::string(51, 'a') + "\xC3\xA9");
  form->LastIP = std::string(52, 'a') + "\xC3\xA9";
  form->UpdateTrayTip();
  EXPECT_EQ(ui->TrayTip, "Corvale - " + std::string(52, 'a'));
  // A tip that comes out the same (here: cut to the same 63 bytes) is not
  // sent to the shell again.
  const size_t sent = ui->TrayRequests.size();
  form->LastIP = std::string(52, 'a') + "\xE2\x82\xAC";
  form->UpdateTrayTip();
  EXPECT_EQ(ui->TrayRequests.size(), sent);
}

TEST_F(Form1Test, MenuBarEntriesInOrder) {
  Start();
  std::vector<std::string> captions;
  for (TMenuItem* i : form->MainMenu1->Items) captions.push_back(i->Caption);
  EXPECT_EQ(captions, (std::vector<std::string>{"Apply", "Minimize", "Close", "Send Email",
                                                "Options...", "History...", "About"}));
  form->Apply1->Click();
  EXPECT_EQ(form->Checks, 1) << "Apply in the menu is the Apply button";
  EXPECT_EQ(form->Edit3->GetText(), "48");
  EXPECT_EQ(form->Timer1->GetInterval(), 48u * 3600000u);
}

}  // namespace

// A window whose build keeps the settings in the user's configuration
// directory: Apply writes them there, private, and the next start reads them;
// nothing is written beside the executable.
TEST_F(Form1Test, ConfigDirectorySettingsSurviveARestart) {
  if (testenv::kWindows)
    GTEST_SKIP() << "the Windows build keeps the settings beside the executable";
  const std::string config = dir + "/config";
  std::optional<testenv::ScopedVariable> xdg(std::in_place, "XDG_CONFIG_HOME", config.c_str());
  auto create = [&] {
    return app->CreateForm<CountingForm>(
        [](CountingForm& f) { f.SettingsPlace = files::TSettingsPlace::ConfigDir; });
  };
  form = create();
  EXPECT_EQ(form->SettingsPath(), config + "/corvale/Corvale.ini");
  form->Edit1->SetText("Ann");
  form->Edit3->SetText("2");
  form->Edit4->SetText("30");
  app->Invoke([&] { form->BitBtn1->Click(); });
  EXPECT_TRUE(ui->MessageBoxes.empty());
  const std::string ini = config + "/corvale/Corvale.ini";
  EXPECT_EQ(files::ReadFile(ini), Settings("Ann", "", "9000", "0", ""));
  EXPECT_EQ(fs::status(ini).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(config + "/corvale").permissions(), fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(Ini()));

  app.reset();
  auto b = std::make_unique<THeadlessBackend>();
  ui = b.get();
  app = std::make_unique<TApplication>(std::move(b), dir + "/Corvale");
  app->ShowMainForm = false;
  form = create();
  xdg.reset();
  EXPECT_EQ(form->Edit1->GetText(), "Ann");
  EXPECT_EQ(form->Edit3->GetText(), "2");
  EXPECT_EQ(form->Edit4->GetText(), "30");
  EXPECT_EQ(form->Checks, 1) << "a loaded file starts the schedule";
}
