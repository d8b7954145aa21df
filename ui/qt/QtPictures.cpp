#include "ui/qt/QtPictures.h"

#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QTextDocument>

#include "ui/Application.h"
#include "ui/Bevel.h"
#include "ui/Image.h"
#include "ui/Label.h"

namespace {

Qt::CursorShape Shape(TCursor C) {
  switch (C) {
    case TCursor::crHandPoint:
      return Qt::PointingHandCursor;
    case TCursor::crHourGlass:
      return Qt::WaitCursor;
    case TCursor::crDefault:
      break;
  }
  return Qt::ArrowCursor;
}

// Keeps one widget in line with its control's bounds and visibility; frees the
// widget unless Qt already did with its parent.
class PicturePeer : public TPeer {
 public:
  PicturePeer(TControl& C, QWidget* W) : Control(C), Widget(W) { ApplyHintAndCursor(*W, C); }
  ~PicturePeer() override {
    if (Widget) delete Widget.data();
  }
  void Changed() override {
    if (!Widget) return;
    Widget->setGeometry(Control.Left(), Control.Top(), Control.Width(), Control.Height());
    Widget->setVisible(Control.GetVisible());
    Widget->setEnabled(Control.GetEnabled());
    Update();
  }
  virtual void Update() {}
  TControl& Control;
  QPointer<QWidget> Widget;
};

class ImagePeer : public PicturePeer {
 public:
  ImagePeer(TImage& I, QWidget* Parent) : PicturePeer(I, new QLabel(Parent)), Image(I) {
    // It shows a picture only; like every label, never text taken as markup.
    qobject_cast<QLabel*>(Widget)->setTextFormat(Qt::PlainText);
  }
  void Update() override {
    auto* l = qobject_cast<QLabel*>(Widget);
    const TBitmap& b = Image.GetPicture();
    if (!l) return;
    l->setAlignment(Image.Center ? Qt::AlignCenter : Qt::AlignLeft | Qt::AlignTop);
    if (b.Empty() ||
        b.Pixels.size() < static_cast<size_t>(b.Width) * static_cast<size_t>(b.Height) * 3) {
      l->clear();
      return;
    }
    // QImage reads the pixels in place; the pixmap is a copy of its own.
    const QImage image(b.Pixels.data(), b.Width, b.Height, static_cast<qsizetype>(b.Width) * 3,
                       QImage::Format_RGB888);
    l->setPixmap(QPixmap::fromImage(image));
  }
  TImage& Image;
};

class BevelPeer : public PicturePeer {
 public:
  BevelPeer(TBevel& B, QWidget* Parent) : PicturePeer(B, new QFrame(Parent)), Bevel(B) {}
  void Update() override {
    auto* f = qobject_cast<QFrame*>(Widget);
    if (!f) return;
    f->setFrameShape(Bevel.Shape == TBevelShape::bsTopLine ? QFrame::HLine : QFrame::Box);
    f->setFrameShadow(QFrame::Sunken);
    f->lower();  // a frame sits behind what it surrounds
  }
  TBevel& Bevel;
};

// Turns a left click on a label into its OnClick; exceptions end at the
// application's handler.
class ClickFilter : public QObject {
 public:
  ClickFilter(QObject* Parent, TLabel& L) : QObject(Parent), Label(L) {}
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(Event)->button() == Qt::LeftButton) {
      TLabel* l = &Label;
      if (Application) Application->Invoke([l] { l->Click(); });
      return true;
    }
    return QObject::eventFilter(Watched, Event);
  }
  TLabel& Label;
};

}  // namespace

std::unique_ptr<TPeer> CreatePicturePeer(TControl& Control, QWidget* Parent) {
  if (auto* i = dynamic_cast<TImage*>(&Control)) return std::make_unique<ImagePeer>(*i, Parent);
  if (auto* b = dynamic_cast<TBevel*>(&Control)) return std::make_unique<BevelPeer>(*b, Parent);
  return nullptr;
}

void ApplyHintAndCursor(QWidget& Widget, const TControl& Control) {
  if (Control.ShowHint && !Control.Hint.empty())
    Widget.setToolTip(PlainToolTip(
        QString::fromUtf8(Control.Hint.data(), static_cast<int>(Control.Hint.size()))));
  if (Control.Cursor != TCursor::crDefault) Widget.setCursor(Shape(Control.Cursor));
}

QString PlainToolTip(const QString& Text) {
  // A tip is shown as rich text whenever its text looks like markup, and tips
  // have no plain-text switch. Such a text goes as an escaped paragraph, which
  // reads exactly as written (blanks kept); any other text is shown as it is.
  return Qt::mightBeRichText(Text) ? Qt::convertFromPlainText(Text, Qt::WhiteSpacePre) : Text;
}

void ApplyLabelExtras(QLabel& Widget, TLabel& Label) {
  Widget.setWordWrap(Label.WordWrap);
  Widget.setAlignment(Qt::AlignLeft | Qt::AlignTop);
  if (Label.OnClick) Widget.installEventFilter(new ClickFilter(&Widget, Label));
}

void SetQtScreenCursor(TCursor Cursor) {
  while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  if (Cursor != TCursor::crDefault) QApplication::setOverrideCursor(QCursor(Shape(Cursor)));
}
