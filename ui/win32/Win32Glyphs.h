#pragma once
// The small pictures on buttons with glyphs, drawn with GDI: a check mark for
// OK, a cross for Cancel and Close, a turning arrow for Retry.
#include "ui/BitBtn.h"
// clang-format off
#include <windows.h>
// clang-format on

// Design size of a glyph in pixels (at 96 dots per inch).
inline constexpr int kGlyphSize = 16;

// A new icon of Size x Size pixels for a button of this kind, or null for a
// kind without a glyph. The caller destroys it.
HICON CreateButtonGlyph(TBitBtnKind Kind, int Size);
