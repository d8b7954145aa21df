#pragma once
// The echo page's reply apart from the window: the address between its
// markers. A plain string in and out, so the reader can be tested and fuzzed
// without a window or a socket.
#include <string>

namespace formtext {

// The address between "BEGINIP" and "ENDIP" in an echo page's reply, or false
// when the reply has no usable one. Text holding a control character (a line
// break around the address) is trimmed; if one is still inside, the reply is
// refused, as such a value would break the settings file and the mail. Text
// without control characters keeps its surrounding blanks. A reply with no
// address between its markers (touching, reversed, only blanks) is refused
// too. Value changes only when the result is true.
bool ExtractAddress(const std::string& Reply, std::string& Value);

}  // namespace formtext
