// The process that the kill test kills: the main window on the headless
// backend, started in a directory, saving its settings through the Apply
// command again and again with new values until it is killed.
//
//   settings_driver <directory> <seed>
//
// It tells its standard output what it does, one line per event, each line in
// a single write so that a kill never leaves half a line in the pipe:
//   L <name> <email> <hours> <minutes> <startmin> <ip> <scheduled> <box>
//       what the start-up loaded into the window (scheduled: 1 when the start
//       found a settings file and started the schedule; box: the text of a
//       message box the start-up showed, empty when none)
//   W <n> <name> <email> <hours> <minutes> <startmin> <ip>
//       save n, with these values, is about to be written
//   D <n>   save n has returned
//   E <text>   a save showed this message box; the driver then exits (code 2)
// Texts are hex-encoded so that blanks and any other byte travel safely.
// Nothing here computes the file's bytes: the test builds them from the values.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <random>
#include <string>

#include "app/Form1.h"
#include "tests/support/TestEnv.h"
#include "ui/Application.h"
#include "ui/headless/HeadlessBackend.h"

namespace {

// Longest name and e-mail text drawn: below the shortest cut any reader of the
// file makes, so each value reads back exactly as it was typed.
constexpr size_t kMaxDrawnText = 241;
// Longest line the driver writes: a pipe passes writes up to this size whole.
constexpr size_t kMaxLine = 4096;

// The window without its network: the address is set by the driver, as a
// check that found a new one would.
class DriverForm : public TForm1 {
 public:
  using TForm1::TForm1;
  void GetMyIP() override {}
};

std::string Hex(const std::string& S) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : S) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  // An empty text still takes a field.
  return out.empty() ? std::string("-") : out;
}

void Say(const std::string& Line) {
  const std::string l = Line + "\n";
  if (l.size() > kMaxLine) {
    std::cerr << "line too long for one pipe write\n";
    std::_Exit(3);
  }
  for (;;) {
    const ssize_t n = ::write(STDOUT_FILENO, l.data(), l.size());
    if (n == static_cast<ssize_t>(l.size())) return;
    if (n < 0 && errno == EINTR) continue;
    // The reader is gone (or the pipe broke): nobody is watching any more.
    std::_Exit(4);
  }
}

struct Values {
  std::string Name, Email;
  int Hours = 0, Minutes = 0;
  bool StartMin = false;
  std::string IP;
};

// A text of 0..kMaxDrawnText bytes with blanks inside it but none at either
// end (the reader trims the ends), mixing one-, two- and three-byte UTF-8
// characters so that the file's length changes from save to save.
std::string DrawText(std::mt19937_64& Rng, const char* Extra) {
  static const char* const kPieces[] = {"a", "b", "x", "Z",        "0",           "7",
                                        " ", "-", ".", "\xC3\xA9", "\xE2\x82\xAC"};
  std::uniform_int_distribution<size_t> len(0, kMaxDrawnText);
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces));
  const size_t want = len(Rng);
  std::string s;
  for (;;) {
    const size_t p = piece(Rng);
    const std::string next = p == std::size(kPieces) ? Extra : kPieces[p];
    if (s.size() + next.size() > want) break;
    s += next;
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  return s;
}

Values Draw(std::mt19937_64& Rng) {
  Values v;
  v.Name = DrawText(Rng, "'");
  v.Email = DrawText(Rng, "@");
  std::uniform_int_distribution<int> hours(0, 48);
  std::uniform_int_distribution<int> minutes(0, 59);
  std::uniform_int_distribution<int> octet(0, 255);
  std::uniform_int_distribution<int> coin(0, 3);
  do {
    v.Hours = hours(Rng);
    v.Minutes = minutes(Rng);
  } while (v.Hours == 0 && v.Minutes == 0);  // Apply refuses a zero interval
  v.StartMin = coin(Rng) % 2 == 1;
  switch (coin(Rng)) {
    case 0:
      break;  // no address seen yet
    case 1:   // the address line keeps blanks around the address
      v.IP = " " + std::to_string(octet(Rng)) + "." + std::to_string(octet(Rng)) + ".0.1 ";
      break;
    default:
      v.IP = std::to_string(octet(Rng)) + "." + std::to_string(octet(Rng)) + "." +
             std::to_string(octet(Rng)) + "." + std::to_string(octet(Rng));
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 0;
  if (argc != 3 || !testenv::ParseWhole(argv[2], seed)) {
    std::cerr << "usage: " << (argc > 0 ? argv[0] : "settings_driver")
              << " <directory> <seed>   (seed: a decimal number)\n";
    return 1;
  }
  const std::string dir = argv[1];
  std::mt19937_64 rng(seed);

  auto backend = std::make_unique<THeadlessBackend>();
  THeadlessBackend& ui = *backend;
  TApplication app(std::move(backend), dir + "/Corvale");
  app.ShowMainForm = false;
  auto* form = app.CreateForm<DriverForm>();

  Say("L " + Hex(form->Edit1->GetText()) + " " + Hex(form->Edit2->GetText()) + " " +
      std::to_string(form->UpDown1->GetPosition()) + " " +
      std::to_string(form->UpDown2->GetPosition()) + " " +
      (form->CheckBox1->GetChecked() ? "1" : "0") + " " + Hex(form->LastIP) + " " +
      (form->Timer1->GetEnabled() ? "1" : "0") + " " +
      Hex(ui.MessageBoxes.empty() ? std::string() : ui.MessageBoxes[0].Text));
  ui.MessageBoxes.clear();

  for (unsigned long long n = 1;; ++n) {
    const Values v = Draw(rng);
    Say("W " + std::to_string(n) + " " + Hex(v.Name) + " " + Hex(v.Email) + " " +
        std::to_string(v.Hours) + " " + std::to_string(v.Minutes) + " " + (v.StartMin ? "1" : "0") +
        " " + Hex(v.IP));
    form->Edit1->SetText(v.Name);
    form->Edit2->SetText(v.Email);
    form->UpDown1->SetPosition(v.Hours);
    form->UpDown2->SetPosition(v.Minutes);
    form->CheckBox1->SetChecked(v.StartMin);
    form->LastIP = v.IP;
    app.Invoke([&] { form->BitBtn1->Click(); });
    if (!ui.MessageBoxes.empty()) {
      Say("E " + Hex(ui.MessageBoxes[0].Text));
      return 2;
    }
    Say("D " + std::to_string(n));
  }
}
