#pragma once
// Splitting of a web address into protocol, host, port, path, document and
// bookmark (the generic syntax of RFC 3986, read textually: nothing is decoded,
// validated, defaulted or changed in letter case).
#include <string>
#include <string_view>

// The six parts of an address.
struct TIdURIParts {
  std::string Protocol;  // before "://", e.g. "http"
  std::string Host;      // authority before its first ":"
  std::string Path;      // always begins with "/" and ends with the last "/"
  std::string Document;  // after the last "/", without the bookmark
  std::string Port;      // authority after its first ":"; empty when absent
  std::string Bookmark;  // after the first "#" of the document
};

// An address and its parts. Setting the address normalises its slashes and
// splits it into the six fields.
class TIdURI : public TIdURIParts {
 public:
  TIdURI() = default;
  explicit TIdURI(std::string_view AURI);

  // Splits AURI (after NormalizeSlashes) into its parts. Never raises.
  static TIdURIParts SplitAddress(std::string_view AURI);
  // AURI with every backslash turned into a slash.
  static std::string NormalizeSlashes(std::string_view AURI);

  const std::string& GetURI() const { return FURI; }
  void SetURI(std::string_view AURI);

 private:
  std::string FURI;
};
