// A long run of the whole address check: the main window on the headless
// backend with its real network components, its schedule driven by the virtual
// clock so that each check falls due as soon as the last one ended, against
// peers that misbehave at random (tests/support/ChaosPeers.h). After every
// check it holds the program to what the peers served: the check ended within
// its bounds, the address it took is the one a usable reply carried, the
// settings file holds the stored address, every message the mail side
// received says exactly what it must, and descriptors, threads and resident
// memory do not grow.
//
// CORVALE_SOAK_CHECKS sets the number of checks (default 100000);
// CORVALE_SOAK_SEED replays a run (the seed is printed at the start).
#include <gtest/gtest.h>
#include <unistd.h>
#include <cstdlib>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "app/Form1.h"
#include "tests/support/ChaosPeers.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The window's bounds for the run: a stalled peer costs this little, while a
// healthy loopback exchange needs a small part of it.
constexpr int kConnectMs = 100;
constexpr int kReadMs = 100;
constexpr int kExchangeMs = 300;
constexpr int kDnsMs = 100;
// What a check may take beyond the sum of its bounds: a loaded 2-core machine
// (and the sanitizers) can hold the process this long.
constexpr int64_t kSlackMs = 2000;
// The schedule: one check a minute of virtual time.
constexpr int kIntervalMinutes = 1;
constexpr int64_t kIntervalMs = int64_t{kIntervalMinutes} * 60000;
constexpr int kDefaultChecks = 100000;
// Resources are sampled this often (in checks).
constexpr int kSampleEvery = 1000;
// Most recipients one check mails; each is a lookup and a session.
constexpr int kMaxRecipients = 3;
// A check's record is kept this many checks for events that arrive after it
// ended (a peer held up by the machine's load).
constexpr int kKeptChecks = 64;
// Descriptors that may be open or not at a sample: the kept echo connection
// and the resolver's socket.
constexpr long kFdSlack = 2;
// Resident memory may grow this much after the first sample (allocator
// caches warming up); a leak of a hundred bytes a check passes it in a full run.
constexpr long kRssGrowthKb = long{8} * 1024;
// Usable replies the program may miss because a bound struck while the
// machine held the peers up: at most this share of them, and only in checks
// that lasted at least one bound.
constexpr double kLostShare = 0.05;
constexpr int kLostFloor = 10;
// Longest wait for the peers to report a close they were drawn to make, and
// how often the event log is read meanwhile.
constexpr auto kCloseWait = std::chrono::seconds(10);
constexpr auto kEventPoll = std::chrono::milliseconds(1);
// The address a check reports when it found none (a control character inside
// can never be the result).
constexpr std::string_view kNothing = "\x01nothing\x01";

constexpr std::array<const char*, 5> kNames = {"Ann", "Bo Lee", "Cy & <Di>", "\"Ed\" O'Neil", ""};

// Leading and trailing blanks and control characters removed, as the address
// comparison does.
std::string Trimmed(const std::string& S) {
  size_t b = 0;
  size_t e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// Text as the mail's HTML body shows it: &, <, > and " as entities.
std::string Html(const std::string& S) {
  std::string out;
  for (char c : S) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReadAll(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Resources {
  long RssKb = 0;
  long HwmKb = 0;
  long Fds = 0;
  long Threads = 0;
};

// The number after "Key:" (and blanks) on its line of /proc/self/status, or -1
// when the line is missing or holds no number.
long StatusField(const std::string& Status, const std::string& Key) {
  const size_t at = Status.find("\n" + Key + ":");
  if (at == std::string::npos) return -1;
  const size_t digits = Status.find_first_not_of(" \t", at + Key.size() + 2);
  if (digits == std::string::npos) return -1;
  long value = -1;
  const char* first = Status.data() + digits;
  const auto [end, ec] = std::from_chars(first, Status.data() + Status.size(), value);
  return ec == std::errc() && end != first ? value : -1;
}

long CountEntries(const char* Dir) {
  long n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(Dir)) ++n;
  return n;
}

Resources Sample() {
  const std::string status = "\n" + ReadAll("/proc/self/status");
  return {StatusField(status, "VmRSS"), StatusField(status, "VmHWM"), CountEntries("/proc/self/fd"),
          CountEntries("/proc/self/task")};
}

// The progress lines go out as they are made, so that a run cut short still
// shows how far it got; the figures are what the run is for, so a lost line
// is a failure.
void FlushProgress() {
  EXPECT_EQ(std::fflush(stdout), 0) << "the progress lines could not be written";
}

// The window with the one check it runs reported: what it found, or kNothing.
class TSoakForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {
    ++Checks;
    Found = kNothing;
    TForm1::GetMyIP(Found);
  }
  std::string Found;
  int Checks = 0;
};

// What one check was given and what the peers served it.
struct CheckRecord {
  std::string Name;
  std::vector<std::string> Recipients;
  std::string OldIP;
  std::string NewIP;
  bool Changed = false;
  bool BoxShown = false;
  int64_t Ms = 0;
  bool Evaluated = false;
  std::map<int, bool> Mx;          // recipient -> the lookup named an exchanger
  std::map<int, bool> MustAccept;  // recipient -> the session had to take the message
  std::map<int, bool> Accepted;    // recipient -> a message arrived, answered 250
};

class CheckSoak : public ::testing::Test {
 protected:
  void SetUp() override {
    Checks = testenv::NumberFromEnvironment("CORVALE_SOAK_CHECKS", kDefaultChecks);
    ASSERT_GT(Checks, 0) << "CORVALE_SOAK_CHECKS";
    Seed = testenv::NumberFromEnvironment<uint64_t>("CORVALE_SOAK_SEED", std::random_device()());
    std::printf("soak: %d checks, seed %llu (CORVALE_SOAK_SEED=%llu replays this run)\n", Checks,
                static_cast<unsigned long long>(Seed), static_cast<unsigned long long>(Seed));
    FlushProgress();
    Peers = std::make_unique<ChaosPeers>(Seed);
    Peers->Start();
    char tmpl[] = "/tmp/corvale-soak-XXXXXX";
    Dir = mkdtemp(tmpl);
    auto b = std::make_unique<THeadlessBackend>();
    Ui = b.get();
    App = std::make_unique<TApplication>(std::move(b), Dir + "/Corvale");
    App->ShowMainForm = false;
    Form = App->CreateForm<TSoakForm>([&](TSoakForm& f) {
      f.DNSServer = "127.0.0.1";
      f.DNSPort = Peers->DnsPort();
      f.SMTPPort = Peers->SmtpPort();
    });
    Form->SetNetBounds({kConnectMs, kReadMs, kExchangeMs, kDnsMs});
    Form->UpDown1->SetPosition(0);
    Form->UpDown2->SetPosition(kIntervalMinutes);
  }
  void TearDown() override {
    App.reset();
    if (HasFailure())
      std::printf("soak: failed with seed %llu\n", static_cast<unsigned long long>(Seed));
    fs::remove_all(Dir);
  }

  // The longest check N may take: each exchange's bounds, plus slack.
  int64_t BoundMs(const CheckRecord& R) const {
    const int64_t tcp = kConnectMs + kExchangeMs;
    return tcp + static_cast<int64_t>(R.Recipients.size()) * (kDnsMs + tcp) + kSlackMs;
  }
  // A usable outcome did not reach the program: allowed only when a bound may
  // have struck (the check lasted at least one), and counted.
  void Lost(int N, const CheckRecord& R, const std::string& What) {
    ++LostCount;
    if (R.Ms < std::min({kReadMs, kDnsMs, kConnectMs}))
      ADD_FAILURE() << "check " << N << ": " << What << " was lost in " << R.Ms
                    << " ms, before any bound could strike";
  }

  CheckRecord* Record(int N) {
    auto it = Records.find(N);
    return it == Records.end() ? nullptr : &it->second;
  }
  // Reads Lead and the number after it from the front of S.
  static bool TakeNumber(std::string_view& S, char Lead, int& Value) {
    if (S.empty() || S[0] != Lead) return false;
    const auto [end, ec] = std::from_chars(S.data() + 1, S.data() + S.size(), Value);
    if (ec != std::errc()) return false;
    S.remove_prefix(static_cast<size_t>(end - S.data()));
    return true;
  }
  // "c<N>" (an echo request) -> N.
  static bool ParseEchoTag(std::string_view Tag, int& N) {
    return TakeNumber(Tag, 'c', N) && Tag.empty();
  }
  // "n<N>r<I>" (a lookup or session for recipient I of check N) -> N and I.
  static bool ParseLookupTag(std::string_view Tag, int& N, int& I) {
    return TakeNumber(Tag, 'n', N) && TakeNumber(Tag, 'r', I) && Tag.empty();
  }

  void ReadEvents() {
    for (const auto& e : Peers->NewEvents()) {
      if (e.size() < 4) {
        ADD_FAILURE() << "malformed event";
        continue;
      }
      // Counted by kind; the variant after "/" stays in the event log.
      if (e[0] != "mail" && e[0] != "close") ++Drawn[e[0] + " " + e[2].substr(0, e[2].find('/'))];
      if (e[0] == "http" || e[0] == "close") {
        int n = -1;
        if (!ParseEchoTag(e[1], n)) ADD_FAILURE() << "echo request " << e[1];
        if (e[0] == "close")
          KeptClosed.insert(n);
        else
          Echo[n] = {e[2], e[3] == "-" ? std::nullopt : std::optional<std::string>(e[3])};
        continue;
      }
      int n = -1;
      int i = -1;
      if (!ParseLookupTag(e[1], n, i)) {
        ADD_FAILURE() << e[0] << " event for " << e[1] << ", which no check asked for";
        continue;
      }
      CheckRecord* r = Record(n);
      if (!r) {
        ADD_FAILURE() << e[0] << " event for check " << n << ", long gone";
        continue;
      }
      if (e[0] == "dns")
        r->Mx[i] = e[3] == "mx";
      else if (e[0] == "smtp")
        r->MustAccept[i] = e[3] == "accept";
      else if (e[0] == "mail" && e.size() == 6)
        PendingMails.push_back({n, i, e});
      else
        ADD_FAILURE() << "unknown event " << e[0];
    }
  }

  // A message the mail side received for recipient I of check N.
  void CheckMail(int N, int I, CheckRecord& R, const std::vector<std::string>& E) {
    ++MailsReceived;
    SCOPED_TRACE("mail of check " + std::to_string(N) + " to recipient " + std::to_string(I));
    if (!R.Evaluated || !R.Changed || I >= static_cast<int>(R.Recipients.size())) {
      ADD_FAILURE() << "a message nobody should have sent: " << E[4];
      return;
    }
    const std::string& a = R.Recipients[static_cast<size_t>(I)];
    EXPECT_EQ(E[2], a);
    EXPECT_EQ(E[3], a);
    const std::string& data = E[4];
    const size_t split = data.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos) << data;
    // Header fields, folded lines joined.
    std::map<std::string, std::string> header;
    std::string last;
    std::istringstream lines(data.substr(0, split + 2));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
        header[last] += line;
      } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
        last = line.substr(0, colon);
        header[last] = line.substr(colon + 1);
      }
    }
    auto endsWith = [](const std::string& S, const std::string& T) {
      return S.size() >= T.size() && S.compare(S.size() - T.size(), T.size(), T) == 0;
    };
    // A named address ends in "<address>"; one without a name is the address.
    for (const char* field : {"From", "To"}) {
      const std::string& v = header[field];
      EXPECT_TRUE(endsWith(v, "<" + a + ">") || (R.Name.empty() && Trimmed(v) == a))
          << field << ":" << v;
    }
    // Folding may drop blanks at the end of the subject, never anything else.
    std::string subject = header["Subject"];
    if (!subject.empty() && subject[0] == ' ') subject.erase(0, 1);
    while (!subject.empty() && subject.back() == ' ') subject.pop_back();
    std::string want = "Your IP Address is " + R.NewIP;
    while (!want.empty() && want.back() == ' ') want.pop_back();
    EXPECT_EQ(subject, want);
    EXPECT_EQ(header["Content-Type"].find(" text/html"), 0u) << header["Content-Type"];
    EXPECT_EQ(data.substr(split + 4), "<div align=\"center\"><p><font size=\"5\"><strong>Hello " +
                                          Html(R.Name) +
                                          "<br>\r\n"
                                          "Your Old IP Address is " +
                                          Html(R.OldIP) +
                                          "<br>\r\n"
                                          "Your New IP Address is " +
                                          Html(R.NewIP) +
                                          "<br>\r\n"
                                          "Thank you for using Corvale</strong></p></div>\r\n");
    if (E[5] == "250") {
      ++MailsAccepted;
      EXPECT_FALSE(R.Accepted[I]) << "delivered twice";
      R.Accepted[I] = true;
    }
  }

  // Messages of checks that have been evaluated.
  void CheckPendingMails() {
    std::vector<PendingMail> later;
    for (PendingMail& m : PendingMails) {
      CheckRecord* r = Record(m.Check);
      if (r && !r->Evaluated)
        later.push_back(std::move(m));
      else if (r)
        CheckMail(m.Check, m.Recipient, *r, m.Event);
      else
        ADD_FAILURE() << "a message for check " << m.Check << ", long gone";
    }
    PendingMails = std::move(later);
  }

  // Lookups and sessions of a check that has had time for its late events.
  void Settle(int N) {
    CheckPendingMails();
    SettleLookups(N);
  }
  void SettleLookups(int N) {
    CheckRecord* r = Record(N);
    if (!r) return;
    SCOPED_TRACE("check " + std::to_string(N));
    if (!r->Changed) {
      EXPECT_TRUE(r->Mx.empty()) << "a lookup for a check without a change";
      EXPECT_TRUE(r->MustAccept.empty()) << "a session for a check without a change";
      return;
    }
    // The recipients are looked up in order until one has no exchanger.
    const int count = static_cast<int>(r->Recipients.size());
    for (int i = 0; i < count; ++i) {
      const bool asked = r->Mx.contains(i);
      const bool earlierFailed = i > 0 && !(r->Mx.contains(i - 1) && r->Mx[i - 1]);
      if (earlierFailed) {
        EXPECT_FALSE(asked) << "recipient " << i << " looked up after a lookup failed";
        continue;
      }
      if (!asked) {
        // An exchanger the program missed (or an error that left the
        // routine: it is shown in a box, and LastIP stays).
        if (!r->BoxShown) Lost(N, *r, "the lookup for recipient " + std::to_string(i));
        break;
      }
      if (!r->Mx[i]) {
        EXPECT_FALSE(r->MustAccept.count(i)) << "a session after a failed lookup";
        continue;
      }
      if (!r->MustAccept.contains(i)) {
        Lost(N, *r, "the session for recipient " + std::to_string(i));
      } else if (r->MustAccept[i] && !r->Accepted[i]) {
        Lost(N, *r, "the message to recipient " + std::to_string(i));
      }
    }
    for (const auto& [i, mx] : r->Mx) EXPECT_LT(i, count);
  }

  // Runs check N and holds it to what the peers served.
  void RunCheck(int N, std::mt19937_64& Rng) {
    SCOPED_TRACE("check " + std::to_string(N) + ", seed " + std::to_string(Seed));
    CheckRecord& r = Records[N];
    r.Name = kNames[Rng() % kNames.size()];
    const int count = 1 + static_cast<int>(Rng() % kMaxRecipients);
    std::string emails;
    for (int i = 0; i < count; ++i) {
      r.Recipients.push_back("u" + std::to_string(i) + "@n" + std::to_string(N) + "r" +
                             std::to_string(i) + ".test");
      emails += (i ? "," : "") + r.Recipients.back();
    }
    Form->Edit1->SetText(r.Name);
    Form->Edit2->SetText(emails);
    Form->EchoHost = "127.0.0.1:" + std::to_string(Peers->HttpPort()) + "/c" + std::to_string(N);
    r.OldIP = Form->LastIP;
    const std::string iniBefore = ReadAll(Form->SettingsPath());
    const size_t boxes = Ui->MessageBoxes.size();
    const int checks = Form->Checks;

    const auto start = Clock::now();
    if (N == 0)
      Form->BitBtn1Click(Form->BitBtn1);  // Apply: one check, then the schedule
    else
      Ui->Advance(kIntervalMs);
    r.Ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    ASSERT_EQ(Form->Checks, checks + 1) << "the schedule ran no check, or more than one";
    EXPECT_LE(r.Ms, BoundMs(r)) << "the check outlasted its bounds";
    r.BoxShown = Ui->MessageBoxes.size() > boxes;
    for (size_t b = boxes; b < Ui->MessageBoxes.size(); ++b) ++Boxes[Ui->MessageBoxes[b].Text];

    ReadEvents();
    // What the echo page gave: the address its rule yields, or none.
    const std::string& found = Form->Found;
    auto echo = Echo.find(N);
    if (echo == Echo.end()) {
      // The request never reached the peer before the check gave up.
      EXPECT_EQ(found, kNothing) << "an address from a reply that was never sent";
      Lost(N, r, "the echo request");
    } else if (!echo->second.Expect) {
      EXPECT_EQ(found, kNothing) << "an address taken from a reply without one";
    } else if (found == kNothing) {
      Lost(N, r, "the echo reply");
    } else {
      EXPECT_EQ(found, *echo->second.Expect);
    }
    // A kept connection the peer closes after its reply: the next check starts
    // once the close has been sent, and must notice it.
    if (echo != Echo.end() &&
        echo->second.Behaviour.find("kept_then_closed") != std::string::npos) {
      const auto deadline = Clock::now() + kCloseWait;
      while (!KeptClosed.contains(N) && Clock::now() < deadline) {
        std::this_thread::sleep_for(kEventPoll);
        ReadEvents();
      }
      EXPECT_TRUE(KeptClosed.erase(N)) << "the peer did not close its kept connection";
    }
    if (echo != Echo.end()) Echo.erase(echo);

    r.Changed = found != kNothing && Trimmed(found) != Trimmed(r.OldIP);
    r.NewIP = found;
    r.Evaluated = true;
    const std::string ini = ReadAll(Form->SettingsPath());
    if (r.Changed && !r.BoxShown) {
      EXPECT_EQ(Form->LastIP, found);
    } else {
      EXPECT_EQ(Form->LastIP, r.OldIP);
      EXPECT_TRUE(N == 0 || ini == iniBefore) << "the settings file changed without a new address";
    }
    if (!r.Changed) {
      EXPECT_FALSE(r.BoxShown) << Ui->MessageBoxes.back().Text;
    }
    if (N == 0 || (r.Changed && !r.BoxShown)) {
      EXPECT_EQ(ini, "Name          " + r.Name + "\r\nEmail         " + emails +
                         "\r\nSchedule      " + std::to_string(kIntervalMs / 1000) +
                         "\r\nStart Min     0\r\nIP            " + Form->LastIP + "\r\n");
    }
    // The backend records every request to the notification area and every
    // box; a run of this length must not count them as the program's memory.
    Ui->TrayRequests.clear();
    Ui->MessageBoxes.clear();
    Ui->VisibilityLog.clear();
    // Earlier checks have had their time for late events.
    CheckPendingMails();
    Settle(N - kKeptChecks / 2);
    Records.erase(N - kKeptChecks);
  }

  int Checks = 0;
  uint64_t Seed = 0;
  std::unique_ptr<ChaosPeers> Peers;
  std::string Dir;
  THeadlessBackend* Ui = nullptr;
  std::unique_ptr<TApplication> App;
  TSoakForm* Form = nullptr;
  struct PendingMail {
    int Check;
    int Recipient;
    std::vector<std::string> Event;
  };
  std::map<int, CheckRecord> Records;
  std::vector<PendingMail> PendingMails;
  struct EchoDraw {
    std::string Behaviour;
    std::optional<std::string> Expect;  // the address the reply gives, if any
  };
  std::map<int, EchoDraw> Echo;       // check -> what its echo request drew
  std::set<int> KeptClosed;           // checks whose kept connection the peer closed
  std::map<std::string, long> Drawn;  // "kind behaviour" -> draws
  std::map<std::string, long> Boxes;  // message box text -> times
  long LostCount = 0;
  long MailsReceived = 0;
  long MailsAccepted = 0;
};

TEST_F(CheckSoak, EveryCheckKeepsItsBoundsItsFileAndItsWord) {
  std::mt19937_64 rng(Seed);
  std::vector<std::pair<int, Resources>> curve;
  const auto start = Clock::now();
  int n = 0;
  for (; n < Checks && !HasFatalFailure() && !HasFailure(); ++n) {
    RunCheck(n, rng);
    if (n % kSampleEvery == 0) {
      curve.emplace_back(n, Sample());
      const Resources& s = curve.back().second;
      std::printf("soak: check %d rss %ld kB fds %ld threads %ld\n", n, s.RssKb, s.Fds, s.Threads);
      FlushProgress();
    }
  }
  // Events that came late, then the last checks' lookups and sessions.
  ReadEvents();
  for (int i = std::max(0, n - kKeptChecks / 2); i < n; ++i) Settle(i);
  curve.emplace_back(n, Sample());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::printf("soak: %d checks in %.1f s, seed %llu\n", n, seconds,
              static_cast<unsigned long long>(Seed));
  std::printf("soak: messages received %ld, accepted %ld; usable outcomes lost to a bound %ld\n",
              MailsReceived, MailsAccepted, LostCount);
  for (const auto& [kind, count] : Drawn)
    std::printf("soak: drawn %-40s %ld\n", kind.c_str(), count);
  for (const auto& [text, count] : Boxes)
    std::printf("soak: box %ld x \"%s\"\n", count, text.c_str());
  const Resources& first = curve.front().second;
  const Resources& last = curve.back().second;
  long maxFds = 0;
  long maxRss = 0;
  for (const auto& [at, s] : curve) {
    maxFds = std::max(maxFds, s.Fds);
    maxRss = std::max(maxRss, s.RssKb);
    EXPECT_LE(s.Fds, first.Fds + kFdSlack) << "descriptors at check " << at;
    EXPECT_EQ(s.Threads, first.Threads) << "threads at check " << at;
  }
  std::printf(
      "soak: rss %ld kB at start, %ld kB at end, %ld kB largest (peak %ld kB); fds %ld at "
      "start, %ld at end, %ld largest\n",
      first.RssKb, last.RssKb, maxRss, last.HwmKb, first.Fds, last.Fds, maxFds);
#if !defined(__SANITIZE_ADDRESS__)
  // The sanitizer's quarantine holds freed memory on purpose; its leak check
  // at exit stands in for this one there.
  if (curve.size() >= 3) {
    const Resources& warm = curve[1].second;
    EXPECT_LE(last.RssKb, warm.RssKb + kRssGrowthKb) << "resident memory grew";
  }
#endif
  const long usable = std::max<long>(kLostFloor, static_cast<long>(kLostShare * n));
  EXPECT_LE(LostCount, usable) << "too many usable outcomes lost to bounds for a loaded machine";
  EXPECT_EQ(n, Checks);
}

}  // namespace
