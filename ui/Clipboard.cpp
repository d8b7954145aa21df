#include "ui/Clipboard.h"

#include "ui/Application.h"

bool SetClipboardText(const std::string& Text) {
  if (!Application) return false;
  return Application->Backend().SetClipboardText(Text);
}
