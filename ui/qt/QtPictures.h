#pragma once
// Qt peers for the picture controls (TImage, TBevel), the extras of labels
// (word wrap, a click that acts as a link) and of every control (hint and
// cursor), and the program-wide cursor. QtBackend.cpp calls these; they keep
// the about window's needs out of the main backend file.
#include <memory>

#include "ui/Backend.h"

class QWidget;
class QLabel;
class QString;
class TControl;
class TLabel;
enum class TCursor;

// A peer for a TImage or TBevel shown inside Parent; null for other controls.
std::unique_ptr<TPeer> CreatePicturePeer(TControl& Control, QWidget* Parent);

// Applies the control's hint (when ShowHint) and cursor to its widget.
void ApplyHintAndCursor(QWidget& Widget, const TControl& Control);

// Text for a tool tip that shows exactly as written, never as markup.
QString PlainToolTip(const QString& Text);

// Word wrap, and a left click that runs the label's OnClick when it has one.
void ApplyLabelExtras(QLabel& Widget, TLabel& Label);

// The cursor over all windows; crDefault gives each widget its own back.
void SetQtScreenCursor(TCursor Cursor);
