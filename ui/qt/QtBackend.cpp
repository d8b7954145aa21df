#include "ui/qt/QtBackend.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QEventLoop>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <deque>
#include <map>
#include <vector>

#include "platform/Files.h"
#include "ui/Application.h"
#include "ui/BitBtn.h"
#include "ui/CheckBox.h"
#include "ui/ComboBox.h"
#include "ui/Edit.h"
#include "ui/Form.h"
#include "ui/Label.h"
#include "ui/ListBox.h"
#include "ui/Menu.h"
#include "ui/NotifyIcon.h"
#include "ui/StatusBar.h"
#include "ui/Timer.h"
#include "ui/UpDown.h"
#include "ui/qt/QtPictures.h"

namespace {

// Runs a component's reaction to a toolkit event; exceptions end at the
// application's handler, never in Qt.
template <class F>
void Deliver(F&& Action) {
  if (Application)
    Application->Invoke(std::forward<F>(Action));
  else
    try {
      Action();
    } catch (...) {
    }
}

QString Q(const std::string& S) {
  return QString::fromUtf8(S.data(), static_cast<int>(S.size()));
}
std::string S(const QString& Q) {
  return Q.toUtf8().toStdString();
}

QString ColorName(TColor C) {
  return QString("#%1").arg(static_cast<unsigned>(C) & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

QString StyleOf(const TControl& C) {
  QString s;
  const TFont& f = C.Font;
  if (f.Color != clDefault) s += "color: " + ColorName(f.Color) + ";";
  if (f.Bold) s += "font-weight: bold;";
  if (f.Size > 0) s += QString("font-size: %1pt;").arg(f.Size);
  if (!f.Name.empty()) s += "font-family: \"" + Q(f.Name) + "\";";
  return s;
}

// Every peer holds one widget; it frees the widget unless Qt already did (a
// parent widget frees its children).
class WidgetPeer : public TPeer {
 public:
  explicit WidgetPeer(TControl& C) : Control(C) {}
  ~WidgetPeer() override {
    if (Widget) delete Widget.data();
  }
  // Where the controls shown by this one go.
  virtual QWidget* Container() { return Widget.data(); }
  void Changed() override {
    if (!Widget) return;
    // A window that nobody sees is brought up to date when it is shown: the
    // countdown changes every second while the window is mostly hidden.
    if (QWidget* top = Widget->window(); top != Widget && !top->isVisible()) {
      Stale = true;
      return;
    }
    Stale = false;
    Widget->setGeometry(Control.Left(), Control.Top(), Control.Width(), Control.Height());
    Widget->setEnabled(Control.GetEnabled());
    Widget->setVisible(Control.GetVisible());
  }
  void Init(QWidget* W) {
    Widget = W;
    QString style = StyleOf(Control);
    if (!style.isEmpty()) W->setStyleSheet(style);
    ApplyHintAndCursor(*W, Control);
  }
  TControl& Control;
  QPointer<QWidget> Widget;
  bool Stale = false;  // changed while its window was hidden
};

// Brings the peers of the controls shown on Parent up to date.
void RefreshStale(TControl& Parent) {
  for (TControl* c : Parent.Controls()) {
    if (auto* p = dynamic_cast<WidgetPeer*>(c->Peer()); p && p->Stale) p->Changed();
    RefreshStale(*c);
  }
}

QWidget* ParentWidget(TControl& C) {
  if (!C.GetParent()) return nullptr;
  auto* p = dynamic_cast<WidgetPeer*>(C.GetParent()->Peer());
  return p ? p->Container() : nullptr;
}

class LabelPeer : public WidgetPeer {
 public:
  explicit LabelPeer(TLabel& L) : WidgetPeer(L) {
    auto* w = new QLabel(ParentWidget(L));
    // A caption may come from outside (a peer's text): never taken as markup.
    w->setTextFormat(Qt::PlainText);
    Init(w);
    ApplyLabelExtras(*w, L);
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    if (auto* l = qobject_cast<QLabel*>(Widget)) l->setText(Q(Control.GetCaption()));
  }
};

// Reports the focus leaving an edit for another control of the window (not a
// switch to another window or a menu), as the edit's exit event.
class ExitFilter : public QObject {
 public:
  ExitFilter(QObject* Parent, TEdit& E) : QObject(Parent), Edit(E) {}
  bool eventFilter(QObject* Watched, QEvent* Event) override {
    if (Event->type() == QEvent::FocusOut) {
      auto r = static_cast<QFocusEvent*>(Event)->reason();
      if (r != Qt::ActiveWindowFocusReason && r != Qt::PopupFocusReason) {
        TEdit* e = &Edit;
        // After Qt has finished moving the focus.
        QTimer::singleShot(0, Watched, [e] { Deliver([e] { e->DoExit(); }); });
      }
    }
    return false;
  }
  TEdit& Edit;
};

class EditPeer : public WidgetPeer {
 public:
  explicit EditPeer(TEdit& E) : WidgetPeer(E) {
    auto* w = new QLineEdit(ParentWidget(E));
    Init(w);
    // Qt draws its own mask character; any PasswordChar hides the text.
    if (E.PasswordChar) w->setEchoMode(QLineEdit::Password);
    QObject::connect(w, &QLineEdit::textEdited, w,
                     [&E](const QString& T) { Deliver([&] { E.SetText(S(T)); }); });
    w->installEventFilter(new ExitFilter(w, E));
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QLineEdit*>(Widget);
    QString t = Q(static_cast<TEdit&>(Control).GetText());
    if (w && w->text() != t) w->setText(t);
  }
};

// Two arrow buttons, one above the other, that never take the focus (so a
// press does not count as leaving the edit).
class UpDownPeer : public WidgetPeer {
 public:
  explicit UpDownPeer(TUpDown& U) : WidgetPeer(U) {
    auto* w = new QWidget(ParentWidget(U));
    Init(w);
    auto* box = new QVBoxLayout(w);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    for (auto [arrow, kind] : {std::pair{Qt::UpArrow, TUDBtnType::btNext},
                               std::pair{Qt::DownArrow, TUDBtnType::btPrev}}) {
      auto* b = new QToolButton(w);
      b->setArrowType(arrow);
      b->setFocusPolicy(Qt::NoFocus);
      b->setAutoRepeat(true);
      b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
      b->setObjectName(arrow == Qt::UpArrow ? "up" : "down");
      box->addWidget(b);
      QObject::connect(b, &QToolButton::clicked, b,
                       [&U, k = kind] { Deliver([&] { U.Click(k); }); });
    }
  }
};

class CheckBoxPeer : public WidgetPeer {
 public:
  explicit CheckBoxPeer(TCheckBox& C) : WidgetPeer(C) {
    auto* w = new QCheckBox(ParentWidget(C));
    Init(w);
    QObject::connect(w, &QCheckBox::toggled, w,
                     [&C](bool On) { Deliver([&] { C.SetChecked(On); }); });
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QCheckBox*>(Widget);
    if (!w) return;
    w->setText(Q(Control.GetCaption()));
    bool on = static_cast<TCheckBox&>(Control).GetChecked();
    if (w->isChecked() != on) w->setChecked(on);
  }
};

// Items are plain text in a list widget (which never reads markup).
class ListBoxPeer : public WidgetPeer {
 public:
  explicit ListBoxPeer(TListBox& L) : WidgetPeer(L) {
    auto* w = new QListWidget(ParentWidget(L));
    w->setSelectionMode(QAbstractItemView::SingleSelection);
    w->setUniformItemSizes(true);
    Init(w);
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QListWidget*>(Widget);
    if (!w) return;
    QStringList items;
    for (const std::string& i : static_cast<TListBox&>(Control).GetItems()) items << Q(i);
    if (items == Shown) return;
    Shown = items;
    w->clear();
    w->addItems(items);
  }
  QStringList Shown;
};

// The list of a combo box is the component's; a pick goes into it.
class ComboBoxPeer : public WidgetPeer {
 public:
  explicit ComboBoxPeer(TComboBox& C) : WidgetPeer(C) {
    auto* w = new QComboBox(ParentWidget(C));
    Init(w);
    QObject::connect(w, &QComboBox::activated, w,
                     [&C](int Index) { Deliver([&] { C.SetItemIndex(Index); }); });
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QComboBox*>(Widget);
    if (!w) return;
    auto& c = static_cast<TComboBox&>(Control);
    QStringList items;
    for (const std::string& i : c.GetItems()) items << Q(i);
    QStringList shown;
    for (int i = 0; i < w->count(); ++i) shown << w->itemText(i);
    if (shown != items) {
      w->clear();
      w->addItems(items);
    }
    if (w->currentIndex() != c.GetItemIndex()) w->setCurrentIndex(c.GetItemIndex());
  }
};

class BitBtnPeer : public WidgetPeer {
 public:
  explicit BitBtnPeer(TBitBtn& B) : WidgetPeer(B) {
    auto* w = new QPushButton(ParentWidget(B));
    Init(w);
    QStyle::StandardPixmap glyph = QStyle::SP_CustomBase;
    switch (B.Kind) {
      case TBitBtnKind::bkOK:
        glyph = QStyle::SP_DialogApplyButton;
        break;
      case TBitBtnKind::bkCancel:
        glyph = QStyle::SP_DialogCancelButton;
        break;
      case TBitBtnKind::bkRetry:
        glyph = QStyle::SP_BrowserReload;
        break;
      case TBitBtnKind::bkClose:
        glyph = QStyle::SP_DialogCloseButton;
        break;
      case TBitBtnKind::bkCustom:
        break;
    }
    if (glyph != QStyle::SP_CustomBase) w->setIcon(w->style()->standardIcon(glyph));
    QObject::connect(w, &QPushButton::clicked, w, [&B] { Deliver([&] { B.Click(); }); });
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QPushButton*>(Widget);
    if (!w) return;
    w->setText(Q(Control.GetCaption()));
    FitCaption(*w);
  }

 private:
  // The toolkit's button margins and fonts are wider than the classic ones
  // the window designs were made for, and would cut a caption such as
  // "System Info..." at 73 pixels. A caption that does not fit gets narrow
  // side padding, as a classic button draws it, and if it still does not fit
  // a smaller font, one point at a time down to 6 points. A caption that fits
  // keeps the style's own look and the window's font.
  static void FitCaption(QPushButton& w) {
    QStyle* style = w.style();
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &w);
    const int margin = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, &w);
    const int icon = w.icon().isNull() ? 0 : w.iconSize().width() + 4;
    QFont font = w.parentWidget() ? w.parentWidget()->font() : QApplication::font();
    // The text as drawn: a single "&" marks the mnemonic and takes no room.
    QString shown = w.text();
    shown.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
    const auto width = [&shown](const QFont& f) {
      return QFontMetrics(f).horizontalAdvance(shown);
    };
    QString sheet;
    if (width(font) + 2 * margin + 2 * frame + icon > w.width()) {
      constexpr int kNarrowPadding = 1;
      sheet = QStringLiteral("padding-left: %1px; padding-right: %1px;").arg(kNarrowPadding);
      const int room = w.width() - 2 * frame - 2 * kNarrowPadding - icon;
      int points = font.pointSize();
      if (points > 0 && width(font) > room) {
        while (points > 6 && width(font) > room) font.setPointSize(--points);
        sheet += QStringLiteral(" font-size: %1pt;").arg(points);
      }
      sheet = QStringLiteral("QPushButton { %1 }").arg(sheet);
    }
    if (w.styleSheet() != sheet) w.setStyleSheet(sheet);
  }
};

class StatusBarPeer : public WidgetPeer {
 public:
  explicit StatusBarPeer(TStatusBar& B) : WidgetPeer(B) {
    auto* w = new QStatusBar(ParentWidget(B));
    w->setSizeGripEnabled(false);
    Init(w);
  }
  void Changed() override {
    WidgetPeer::Changed();
    if (Stale) return;
    auto* w = qobject_cast<QStatusBar*>(Widget);
    if (!w) return;
    auto& bar = static_cast<TStatusBar&>(Control);
    while (static_cast<int>(Panels.size()) < bar.Panels.Count()) {
      auto* l = new QLabel(w);
      // The panels show the echo page's text: never taken as markup, which
      // could draw anything or load a "picture" from any file.
      l->setTextFormat(Qt::PlainText);
      l->setFrameShape(QFrame::Panel);
      l->setFrameShadow(QFrame::Sunken);
      l->setObjectName(QString("panel%1").arg(Panels.size()));
      Panels.emplace_back(l);
      bool last = static_cast<int>(Panels.size()) == bar.Panels.Count();
      int width = bar.Panels[static_cast<int>(Panels.size()) - 1].Width;
      // The last panel takes what is left of the bar.
      if (last)
        l->setMinimumWidth(width);
      else
        l->setFixedWidth(width);
      w->addWidget(l, last ? 1 : 0);
    }
    for (int i = 0; i < bar.Panels.Count(); ++i)
      if (Panels[static_cast<size_t>(i)])
        Panels[static_cast<size_t>(i)]->setText(Q(bar.Panels[i].GetText()));
  }
  std::vector<QPointer<QLabel>> Panels;
};

// Whether a top-level window of the program other than W is shown (a tray
// icon's own little window, which the window manager does not stack, aside).
bool OtherWindowShown(const QWidget& W) {
  for (QWidget* t : QApplication::topLevelWidgets())
    if (t != &W && t->isVisible() && !(t->windowFlags() & Qt::BypassWindowManagerHint) &&
        (t->windowType() == Qt::Window || t->windowType() == Qt::Dialog))
      return true;
  return false;
}

// A top-level window: the menu bar above a client area of the form's size. The
// close box and the minimize box become system commands to the form.
class FormWindow : public QWidget {
 public:
  explicit FormWindow(TForm& F) : Form(F) {}
  TForm& Form;
  bool Minimizing = false;  // the form itself asked for the minimized state

 protected:
  // A hidden window holds no keyboard focus: an edit with the focus blinks
  // its cursor twice a second, and Qt keeps it blinking in a hidden window
  // when the platform does not take the activation away (offscreen does not;
  // an activation that arrives after the hide, as at a start minimized, gives
  // the focus to a hidden window too). The focus goes back to where it was
  // when the window is shown.
  bool event(QEvent* E) override {
    const bool done = QWidget::event(E);
    // Qt gives the focus once the activation has been sent: let go of it
    // right after.
    if (E->type() == QEvent::WindowActivate && !isVisible())
      QTimer::singleShot(0, this, [this] {
        if (!isVisible()) LetGoOfFocus();
      });
    return done;
  }
  void hideEvent(QHideEvent* E) override {
    QWidget::hideEvent(E);
    LetGoOfFocus();
  }
  void showEvent(QShowEvent* E) override {
    QWidget::showEvent(E);
    if (Refocus) Refocus->setFocus(Qt::OtherFocusReason);
    Refocus.clear();
  }
  void closeEvent(QCloseEvent* E) override {
    E->ignore();
    TForm* f = &Form;
    Deliver([f] { f->Perform(WM_SYSCOMMAND, SC_CLOSE, 0); });
  }
  // Escape and Enter reach the form as key messages (its Cancel and Default
  // buttons); other keys go on as usual.
  void keyPressEvent(QKeyEvent* E) override {
    uintptr_t key = 0;
    if (E->key() == Qt::Key_Escape) key = VK_ESCAPE;
    if (E->key() == Qt::Key_Return || E->key() == Qt::Key_Enter) key = VK_RETURN;
    if (!key) {
      QWidget::keyPressEvent(E);
      return;
    }
    TForm* f = &Form;
    Deliver([f, key] { f->Perform(WM_KEYDOWN, key, 0); });
  }
  void changeEvent(QEvent* E) override {
    QWidget::changeEvent(E);
    if (E->type() != QEvent::WindowStateChange || Minimizing) return;
    if (!(windowState() & Qt::WindowMinimized)) return;
    // Undo the toolkit's minimize; the form decides (it may hide instead).
    setWindowState(windowState() & ~Qt::WindowMinimized);
    TForm* f = &Form;
    QTimer::singleShot(0, this,
                       [f] { Deliver([f] { f->Perform(WM_SYSCOMMAND, SC_MINIMIZE, 0); }); });
  }

 private:
  void LetGoOfFocus() {
    QWidget* f = QApplication::focusWidget();
    if (!f || !isAncestorOf(f)) return;
    Refocus = f;
    f->clearFocus();
  }
  QPointer<QWidget> Refocus;  // had the focus when the window was hidden
};

// The menu bar's entries with less room around their captions than the
// style gives: the main window's width is fixed, and with all its entries
// the last ones would otherwise go behind the bar's overflow arrow.
class CompactMenuBarStyle : public QProxyStyle {
 public:
  QSize sizeFromContents(ContentsType Type, const QStyleOption* Option, const QSize& Size,
                         const QWidget* Widget) const override {
    QSize s = QProxyStyle::sizeFromContents(Type, Option, Size, Widget);
    if (Type == CT_MenuBarItem) s.setWidth(std::max(Size.width() + kItemPadding, s.width() - 8));
    return s;
  }
  int pixelMetric(PixelMetric Metric, const QStyleOption* Option,
                  const QWidget* Widget) const override {
    if (Metric == PM_MenuBarItemSpacing) return 0;
    return QProxyStyle::pixelMetric(Metric, Option, Widget);
  }

 private:
  static constexpr int kItemPadding = 8;  // 4 pixels each side of a caption
};

class FormPeer : public WidgetPeer {
 public:
  explicit FormPeer(TForm& F) : WidgetPeer(F) {
    auto* w = new FormWindow(F);
    Init(w);
    w->setObjectName(Q(F.Name));
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (F.MinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (F.MaximizeBox) flags |= Qt::WindowMaximizeButtonHint;
    w->setWindowFlags(flags);
    auto* box = new QVBoxLayout(w);
    box->setContentsMargins(0, 0, 0, 0);
    box->setSpacing(0);
    if (F.Menu) {
      auto* bar = new QMenuBar(w);
      auto* compact = new CompactMenuBarStyle;
      compact->setParent(bar);
      bar->setStyle(compact);
      for (TMenuItem* item : F.Menu->Items) {
        if (item->IsLine()) {
          bar->addSeparator();
          continue;
        }
        QAction* a = bar->addAction(Q(item->Caption));
        a->setEnabled(item->Enabled);
        QObject::connect(a, &QAction::triggered, a, [item] { Deliver([item] { item->Click(); }); });
      }
      box->setMenuBar(bar);
    }
    Client = new QWidget(w);
    Client->setObjectName("client");
    if (F.Color != clDefault) {
      QPalette p = Client->palette();
      p.setColor(QPalette::Window, QColor(Q(ColorName(F.Color).toStdString())));
      Client->setPalette(p);
      Client->setAutoFillBackground(true);
    }
    box->addWidget(Client);
  }
  QWidget* Container() override { return Client.data(); }
  void Changed() override {
    auto* w = static_cast<FormWindow*>(Widget.data());
    if (!w) return;
    auto& f = static_cast<TForm&>(Control);
    w->setWindowTitle(Q(f.GetCaption()));
    Client->setFixedSize(f.Width(), f.Height());
    if (!f.Sizeable) w->setFixedSize(w->sizeHint());
    if (!f.GetVisible()) {
      w->hide();
      return;
    }
    const bool wasShown = w->isVisible();
    if (!wasShown) {
      if (f.CenterOnScreen && !Placed) {
        if (QScreen* s = QGuiApplication::primaryScreen()) {
          QRect r = s->availableGeometry();
          QSize size = w->sizeHint();
          w->move(r.center() - QPoint(size.width() / 2, size.height() / 2));
        }
      }
      Placed = true;
      w->show();
      RefreshStale(f);
    }
    w->Minimizing = true;
    if (f.GetWindowState() == TWindowState::wsMinimized)
      w->showMinimized();
    else if (w->isMinimized())
      w->showNormal();
    w->Minimizing = false;
    // To the front of the program's windows. It is there already when it is
    // active, when it has just been shown, or when no other window of the
    // program is shown; then it only asks for the focus. (The offscreen
    // platform has no stacking order and warns at every raise.)
    if (!w->isActiveWindow()) {
      if (wasShown && OtherWindowShown(*w)) w->raise();
      w->activateWindow();
    }
  }
  QPointer<QWidget> Client;
  bool Placed = false;
};

class TimerPeer : public TPeer {
 public:
  explicit TimerPeer(TTimer& T) : Timer(T) {
    // A coarse timer may fire a little early, and a countdown that ticks at
    // 0.99 s would show the same second twice.
    Q.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Q, &QTimer::timeout, &Q, [this] {
      if (Application)
        Application->TimerTick(Timer);
      else
        Deliver([this] { Timer.Fire(); });
    });
  }
  void Changed() override {
    if (Timer.GetEnabled() && Timer.GetInterval() > 0)
      Q.start(static_cast<int>(Timer.GetInterval()));
    else
      Q.stop();
  }
  TTimer& Timer;
  QTimer Q;
};

class QtBackend : public TBackend {
 public:
  QtBackend() : Arg0(files::ExecutablePath()), Argv{Arg0.data(), nullptr}, App(Argc, Argv.data()) {
    QApplication::setQuitOnLastWindowClosed(false);
    Icon = QIcon(":/corvale/corvale.png");
    QApplication::setWindowIcon(Icon);
  }

  TDateTime Now() override { return SystemNow(); }

  std::unique_ptr<TPeer> CreatePeer(TControl& C) override {
    std::unique_ptr<TPeer> p;
    if (auto* f = dynamic_cast<TForm*>(&C))
      p = std::make_unique<FormPeer>(*f);
    else if (auto* l = dynamic_cast<TLabel*>(&C))
      p = std::make_unique<LabelPeer>(*l);
    else if (auto* e = dynamic_cast<TEdit*>(&C))
      p = std::make_unique<EditPeer>(*e);
    else if (auto* u = dynamic_cast<TUpDown*>(&C))
      p = std::make_unique<UpDownPeer>(*u);
    else if (auto* c = dynamic_cast<TCheckBox*>(&C))
      p = std::make_unique<CheckBoxPeer>(*c);
    else if (auto* x = dynamic_cast<TComboBox*>(&C))
      p = std::make_unique<ComboBoxPeer>(*x);
    else if (auto* b = dynamic_cast<TBitBtn*>(&C))
      p = std::make_unique<BitBtnPeer>(*b);
    else if (auto* s = dynamic_cast<TStatusBar*>(&C))
      p = std::make_unique<StatusBarPeer>(*s);
    else if (auto* l = dynamic_cast<TListBox*>(&C))
      p = std::make_unique<ListBoxPeer>(*l);
    else if (auto x = CreatePicturePeer(C, ParentWidget(C)))
      p = std::move(x);
    else {
      auto g = std::make_unique<WidgetPeer>(C);
      g->Init(new QWidget(ParentWidget(C)));
      p = std::move(g);
    }
    p->Changed();
    return p;
  }

  std::unique_ptr<TPeer> CreateTimerPeer(TTimer& T) override {
    return std::make_unique<TimerPeer>(T);
  }

  void ProcessMessages() override { QCoreApplication::processEvents(QEventLoop::AllEvents); }

  void Run() override {
    if (!Terminated) QApplication::exec();
  }

  void Terminate() override {
    Terminated = true;
    QCoreApplication::quit();
  }

  int MessageBox(const std::string& Text, const std::string& Caption, unsigned Flags) override {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (Flags & 0xF0) {
      case MB_ICONERROR:
        icon = QMessageBox::Critical;
        break;
      case MB_ICONQUESTION:
        icon = QMessageBox::Question;
        break;
      case MB_ICONWARNING:
        icon = QMessageBox::Warning;
        break;
      case MB_ICONINFORMATION:
        icon = QMessageBox::Information;
        break;
      default:
        break;
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if ((Flags & 0x0F) == MB_OKCANCEL) buttons = QMessageBox::Ok | QMessageBox::Cancel;
    if ((Flags & 0x0F) == MB_YESNO) buttons = QMessageBox::Yes | QMessageBox::No;
    QMessageBox box(icon, Q(Caption), Q(Text), buttons);
    box.setObjectName("MessageBox");
    // Error texts can carry a peer's words (a server's reply): plain text.
    box.setTextFormat(Qt::PlainText);
    switch (box.exec()) {
      case QMessageBox::Cancel:
        return IDCANCEL;
      case QMessageBox::Yes:
        return IDYES;
      case QMessageBox::No:
        return IDNO;
      default:
        return IDOK;
    }
  }

  int ShowModal(TForm& F) override {
    F.CreateHandle();
    if (auto* p = dynamic_cast<WidgetPeer*>(F.Peer()); p && p->Widget)
      p->Widget->setWindowModality(Qt::ApplicationModal);
    F.Show();
    while (F.ModalResult == mrNone && !Terminated)
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (F.ModalResult == mrNone) F.ModalResult = mrCancel;
    return F.ModalResult;
  }

  void Popup(TPopupMenu& Menu, int X, int Y) override {
    QMenu menu;
    menu.setObjectName(Q(Menu.Name));
    std::map<QAction*, TMenuItem*> items;
    for (TMenuItem* item : Menu.Items) {
      if (item->IsLine()) {
        menu.addSeparator();
        continue;
      }
      QAction* a = menu.addAction(Q(item->Caption));
      a->setEnabled(item->Enabled);
      items[a] = item;
    }
    QAction* chosen = menu.exec(QPoint(X, Y));
    if (auto it = items.find(chosen); it != items.end()) it->second->Click();
  }

  bool NotifyIcon(unsigned Code, const TNotifyIconData& D) override {
    const auto key = std::make_pair(D.Wnd, D.uID);
    auto it = Icons.find(key);
    std::string tip(D.szTip, strnlen(D.szTip, sizeof D.szTip));
    switch (Code) {
      case NIM_ADD: {
        if (it != Icons.end()) return false;
        auto icon = std::make_unique<QSystemTrayIcon>(Icon, qApp);
        if (D.uFlags & NIF_TIP) icon->setToolTip(PlainToolTip(Q(tip)));
        const uint32_t wnd = D.Wnd;
        const uint32_t id = D.uID;
        const uint32_t msg = D.uCallbackMessage;
        if (D.uFlags & NIF_MESSAGE)
          QObject::connect(icon.get(), &QSystemTrayIcon::activated, icon.get(),
                           [wnd, id, msg](QSystemTrayIcon::ActivationReason R) {
                             unsigned mouse = 0;
                             switch (R) {
                               case QSystemTrayIcon::DoubleClick:
                                 mouse = WM_LBUTTONDBLCLK;
                                 break;
                               case QSystemTrayIcon::Context:
                                 mouse = WM_RBUTTONDOWN;
                                 break;
                               case QSystemTrayIcon::Trigger:
                                 mouse = WM_LBUTTONUP;
                                 break;
                               default:
                                 return;
                             }
                             // Posted, as the platform posts icon callbacks: the
                             // window code (a pop-up menu, "Exit" freeing the icon)
                             // then runs outside the icon's own event handler.
                             QTimer::singleShot(0, qApp, [wnd, id, msg, mouse] {
                               Deliver([&] {
                                 TForm* f = Application ? Application->FindForm(wnd) : nullptr;
                                 if (f) f->Perform(msg, id, static_cast<intptr_t>(mouse));
                               });
                             });
                           });
        // Shown where a notification area is, or can come later: on X11 Qt
        // watches for a tray host that starts (or restarts) after us. Other
        // platforms without one (offscreen) never get one, and Qt's watcher
        // would only complain there; the icon still keeps its tip.
        const bool shown = QSystemTrayIcon::isSystemTrayAvailable();
        if (shown || QGuiApplication::platformName() == QLatin1String("xcb")) icon->show();
        Icons[key] = std::move(icon);
        return shown;
      }
      case NIM_MODIFY:
        if (it == Icons.end()) return false;
        if (D.uFlags & NIF_TIP) it->second->setToolTip(PlainToolTip(Q(tip)));
        return true;
      case NIM_DELETE:
        if (it == Icons.end()) return false;
        // The request may come from inside the icon's own signal (its pop-up
        // menu's "Exit"): let Qt free it once the signal has returned.
        it->second->hide();
        it->second.release()->deleteLater();
        Icons.erase(it);
        return true;
      default:
        return false;
    }
  }

  bool ShowBalloon(const TNotifyBalloon& B) override {
    const auto it = Icons.find(std::make_pair(B.Wnd, B.uID));
    if (it == Icons.end()) return false;
    // The desktop's notification service first: it shows the notification
    // where the desktop shows all others, tray host or not.
    if (NotifyThroughService(B)) return true;
    // Else a balloon beside the icon, where a tray host shows one; its text
    // is plain text, and the title is one of the program's own. Balloons are
    // shown from the message loop, one after the other: a check that goes on
    // waiting on the network after asking would hold a balloon's painting
    // until its time ran out, and a second one would replace the first.
    if (!QSystemTrayIcon::isSystemTrayAvailable() || !it->second->isVisible()) return false;
    PendingBalloons.push_back(
        {it->second.get(),
         B.dwInfoFlags == NIIF_WARNING ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information,
         Q(B.Title), Q(B.Text)});
    if (!BalloonShown) {
      BalloonShown = true;
      QTimer::singleShot(0, qApp, [this] { ShowNextBalloon(); });
    }
    return true;
  }

  bool SetClipboardText(const std::string& Text) override {
    QClipboard* c = QGuiApplication::clipboard();
    if (!c) return false;
    c->setText(Q(Text));
    return true;
  }

  void SetScreenCursor(TCursor C) override { SetQtScreenCursor(C); }

  TPoint CursorPos() override {
    QPoint p = QCursor::pos();
    return {p.x(), p.y()};
  }

 private:
  struct PendingBalloon {
    QPointer<QSystemTrayIcon> Icon;
    QSystemTrayIcon::MessageIcon Kind;
    QString Title, Text;
  };
  // Shows the first waiting balloon, and the next one when its time is up.
  void ShowNextBalloon() {
    BalloonShown = false;
    while (!PendingBalloons.empty()) {
      PendingBalloon b = PendingBalloons.front();
      PendingBalloons.pop_front();
      if (!b.Icon) continue;
      b.Icon->showMessage(b.Title, b.Text, b.Kind, kBalloonMs);
      BalloonShown = true;
      QTimer::singleShot(kBalloonMs, qApp, [this] { ShowNextBalloon(); });
      return;
    }
  }
  std::deque<PendingBalloon> PendingBalloons;
  bool BalloonShown = false;  // a balloon is up, or about to be

  // How long a balloon stays, and how long the notification service may take
  // to answer (a hung service must not hold the window).
  static constexpr int kBalloonMs = 10000;
  static constexpr int kServiceCallMs = 2000;

  // org.freedesktop.Notifications on the session bus: Notify with the
  // program's name, title and body. A service that announces "body-markup"
  // reads the body as markup, so its text is escaped there and reads exactly
  // as written; the summary is never markup. False when there is no session
  // bus or no service answers.
  static bool NotifyThroughService(const TNotifyBalloon& B) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const QString service = QStringLiteral("org.freedesktop.Notifications");
    const QString path = QStringLiteral("/org/freedesktop/Notifications");
    QDBusReply<QStringList> caps =
        bus.call(QDBusMessage::createMethodCall(service, path, service, "GetCapabilities"),
                 QDBus::Block, kServiceCallMs);
    if (!caps.isValid()) return false;
    QString body = Q(B.Text);
    if (caps.value().contains(QStringLiteral("body-markup"))) body = body.toHtmlEscaped();
    QDBusMessage notify = QDBusMessage::createMethodCall(service, path, service, "Notify");
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"),
                 QVariant::fromValue<uchar>(B.dwInfoFlags == NIIF_WARNING ? 1 : 0));
    notify << (Application ? Q(Application->Title) : QStringLiteral("Corvale")) << 0u
           << QStringLiteral("corvale") << Q(B.Title) << body << QStringList() << hints
           << kBalloonMs;
    QDBusReply<uint> id = bus.call(notify, QDBus::Block, kServiceCallMs);
    return id.isValid();
  }

  std::string Arg0;
  int Argc = 1;
  std::vector<char*> Argv;
  QApplication App;
  QIcon Icon;
  bool Terminated = false;
  std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<QSystemTrayIcon>> Icons;
};

}  // namespace

std::unique_ptr<TBackend> CreateQtBackend() {
  return std::make_unique<QtBackend>();
}

void WatchReadable(int Handle, std::function<void()> OnReadable) {
  if (Handle < 0 || !qApp) return;
  // Freed with the application object, which the backend owns.
  auto* n = new QSocketNotifier(Handle, QSocketNotifier::Read, qApp);
  QObject::connect(n, &QSocketNotifier::activated, n,
                   [f = std::move(OnReadable)] { Deliver([&] { f(); }); });
}
