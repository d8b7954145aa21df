#include "tests/support/SmtpVariantServer.h"

std::vector<std::string> SmtpVariantServer::Command() const {
  std::vector<std::string> argv = AiosmtpdServer::Command();
  // The same interpreter and arguments, the variant script instead of the sink.
  for (auto& a : argv)
    if (a.ends_with("/smtp_sink.py")) a.replace(a.size() - 12, 12, "smtp_variants.py");
  if (RefuseEhlo) argv.emplace_back("--ehlo-500");
  if (!AuthUser.empty()) {
    argv.emplace_back("--auth");
    argv.push_back(AuthUser + ":" + AuthPassword);
  }
  for (const auto& r : Forward251) {
    argv.emplace_back("--rcpt-251");
    argv.push_back(r);
  }
  return argv;
}
