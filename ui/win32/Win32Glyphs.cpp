#include "ui/win32/Win32Glyphs.h"

namespace {

// Colours of the glyphs.
constexpr COLORREF kOkColor = RGB(0, 128, 0);
constexpr COLORREF kCrossColor = RGB(192, 0, 0);
constexpr COLORREF kRetryColor = RGB(0, 64, 192);

// Draws the shape of Kind on Dc in a Size-pixel square with Color.
void DrawShape(HDC Dc, TBitBtnKind Kind, int Size, COLORREF Color) {
  const int w = Size / 8 > 1 ? Size / 8 : 2;  // stroke width
  HPEN pen = CreatePen(PS_SOLID, w, Color);
  HBRUSH brush = CreateSolidBrush(Color);
  HGDIOBJ oldPen = SelectObject(Dc, pen);
  HGDIOBJ oldBrush = SelectObject(Dc, brush);
  auto at = [Size](int Sixteenths) { return Sixteenths * Size / 16; };
  switch (Kind) {
    case TBitBtnKind::bkOK: {
      const POINT tick[] = {{at(2), at(8)}, {at(6), at(12)}, {at(14), at(3)}};
      Polyline(Dc, tick, 3);
      break;
    }
    case TBitBtnKind::bkCancel:
    case TBitBtnKind::bkClose:
      MoveToEx(Dc, at(3), at(3), nullptr);
      LineTo(Dc, at(13), at(13));
      MoveToEx(Dc, at(13), at(3), nullptr);
      LineTo(Dc, at(3), at(13));
      break;
    case TBitBtnKind::bkRetry: {
      // Most of a circle, drawn counter-clockwise from the top round to the
      // upper right, where an arrowhead points on.
      SelectObject(Dc, GetStockObject(NULL_BRUSH));
      Arc(Dc, at(2), at(2), at(14), at(14), at(9), at(2), at(14), at(5));
      SelectObject(Dc, brush);
      const POINT head[] = {{at(10), at(1)}, {at(16), at(3)}, {at(12), at(8)}};
      Polygon(Dc, head, 3);
      break;
    }
    case TBitBtnKind::bkCustom:
      break;
  }
  SelectObject(Dc, oldBrush);
  SelectObject(Dc, oldPen);
  DeleteObject(brush);
  DeleteObject(pen);
}

}  // namespace

HICON CreateButtonGlyph(TBitBtnKind Kind, int Size) {
  if (Kind == TBitBtnKind::bkCustom || Size <= 0) return nullptr;
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  // The colour picture: the shape on black. The mask: the shape in black on
  // white, so that white leaves the button's face as it is.
  HBITMAP color = CreateCompatibleBitmap(screen, Size, Size);
  HBITMAP mask = CreateBitmap(Size, Size, 1, 1, nullptr);
  const RECT all{0, 0, Size, Size};
  COLORREF shade = kOkColor;
  if (Kind == TBitBtnKind::bkRetry) shade = kRetryColor;
  if (Kind == TBitBtnKind::bkCancel || Kind == TBitBtnKind::bkClose) shade = kCrossColor;

  HGDIOBJ old = SelectObject(dc, color);
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  DrawShape(dc, Kind, Size, shade);
  SelectObject(dc, mask);
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  DrawShape(dc, Kind, Size, RGB(0, 0, 0));
  SelectObject(dc, old);

  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmMask = mask;
  info.hbmColor = color;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(color);
  DeleteObject(mask);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return icon;
}
