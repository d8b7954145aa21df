#pragma once
// A visible component: position, size, caption, visibility and availability,
// and a parent that shows it. Its peer (if the backend made one) mirrors it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "ui/Backend.h"

// Events take the component that raised them.
using TNotifyEvent = std::function<void(TComponent* Sender)>;

// Colours as 0xRRGGBB; clDefault leaves the toolkit's own.
using TColor = int64_t;
inline constexpr TColor clDefault = -1;
inline constexpr TColor clBlue = 0x0000FF;
inline constexpr TColor clGreen = 0x008000;
inline constexpr TColor clSkyBlue = 0xA6CAF0;

// Mouse cursor shapes.
enum class TCursor { crDefault, crHandPoint, crHourGlass };

struct TFont {
  std::string Name;  // empty: the toolkit's sans-serif
  int Size = 0;      // points; 0: the toolkit's default
  bool Bold = false;
  TColor Color = clDefault;
};

class TControl : public TComponent {
 public:
  explicit TControl(TComponent* AOwner = nullptr);
  ~TControl() override;

  TControl* GetParent() const { return FParent; }
  void SetParent(TControl* AParent);
  // The controls this one shows, in the order they were given to it.
  const std::vector<TControl*>& Controls() const { return FControls; }

  bool GetVisible() const { return FVisible; }
  void SetVisible(bool Value);
  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  const std::string& GetCaption() const { return FCaption; }
  void SetCaption(const std::string& Value);

  int Left() const { return FLeft; }
  int Top() const { return FTop; }
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);

  // Looks; read by the backend when it makes the peer.
  TColor Color = clDefault;
  TFont Font;
  // The cursor over the control, and the tip shown when the mouse rests on it
  // (only when ShowHint is set).
  TCursor Cursor = TCursor::crDefault;
  std::string Hint;
  bool ShowHint = false;

  // Makes the peers of this control and of every control it shows (parents
  // first), if they are not there yet. Needs an application.
  void CreateHandle();
  bool HandleAllocated() const { return FPeer != nullptr; }
  TPeer* Peer() const { return FPeer.get(); }
  // Frees the peers of the controls shown here, then this control's own.
  void DestroyHandle();

  // Tells the peer that the state changed.
  void Changed();

 private:
  TControl* FParent = nullptr;
  std::vector<TControl*> FControls;
  std::unique_ptr<TPeer> FPeer;
  bool FVisible = true;
  bool FEnabled = true;
  std::string FCaption;
  int FLeft = 0, FTop = 0, FWidth = 0, FHeight = 0;
};
