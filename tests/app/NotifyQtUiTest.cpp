// The desktop notification on the Qt backend: the desktop's notification
// service on a private session bus (a small service of the harness that
// records each call) gets the title and the text, the text escaped where the
// service reads markup and as it is where it does not; nothing is sent when
// the notifications are off.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/Form1.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/qt/QtBackend.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(NotifyQt, TheServiceGetsPlainTextAsItReadsIt) {
  const std::string dir = testenv::MakeTempDir("corvale-notify-");
  const std::string record = dir + "/record.jsonl";
  const std::string caps = dir + "/caps.txt";
  const std::string ready = dir + "/ready.txt";
  std::ofstream(caps) << "body\nbody-markup\n";
  const std::string server = std::string(CORVALE_SOURCE_DIR) + "/tests/support/notify_server.py";
  const int bus = host::Spawn(
      {"/usr/bin/dbus-run-session", "--", "/usr/bin/python3", server, record, caps, ready}, {},
      dir + "/bus.log");
  for (int i = 0; i < 500 && !fs::exists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(ready)) << ReadAll(dir + "/bus.log");
  const std::string address = ReadAll(ready);
  {
    // Qt connects to the session bus named here on its first call.
    testenv::ScopedVariable busAddress("DBUS_SESSION_BUS_ADDRESS", address.c_str());
    TApplication app(CreateQtBackend(), dir + "/Corvale");
    app.ShowMainForm = false;
    auto* f = app.CreateForm<TForm1>([](TForm1& w) { w.EchoHost = "127.0.0.1:1"; });

    // A service that reads markup gets the text escaped: it shows as written.
    EXPECT_TRUE(f->ShowDesktopNotice("Corvale: new IP address", "<b>10.1.2.3</b> & \"x\"", false));
    // One that does not gets it as it is.
    std::ofstream(caps) << "body\n";
    EXPECT_TRUE(f->ShowDesktopNotice("Corvale: mail not delivered", "<i>550</i> &amp;", true));
    // Off: nothing goes to the service.
    f->SetDesktopNotifications(false);
    EXPECT_FALSE(f->ShowDesktopNotice("Corvale: new IP address", "off", false));
  }
  EXPECT_EQ(ReadAll(record),
            "{\"app\": \"Corvale\", \"summary\": \"Corvale: new IP address\", \"body\": "
            "\"&lt;b&gt;10.1.2.3&lt;/b&gt; &amp; &quot;x&quot;\"}\n"
            "{\"app\": \"Corvale\", \"summary\": \"Corvale: mail not delivered\", \"body\": "
            "\"<i>550</i> &amp;\"}\n");
  host::Signal(bus, host::kSigTerm, true);
  host::Reap(bus);
  fs::remove_all(dir);
}

}  // namespace
