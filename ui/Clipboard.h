#pragma once
// The clipboard: the program puts text there for other programs to paste.
#include <string>

// Puts Text on the clipboard; false when there is no application or the
// clipboard did not take it.
bool SetClipboardText(const std::string& Text);
