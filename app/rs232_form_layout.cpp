// The window's controls, menus and size rule. Positions are in twips as the layout was drawn
// (15 twips a pixel); Qt's high-DPI scaling takes care of other screens.
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cmath>
#include <type_traits>
#include <variant>

#include "app/rs232_form.h"
#include "engine/test_names.h"

namespace serivane::app {

int TwipsToPixels(double twips) {
  return static_cast<int>(std::lround(twips / 15.0));
}

namespace {

constexpr int kOuterWidthTwips = 5700;
constexpr int kMinOuterHeightTwips = 5500;
// Everything of the window's outer height that is not the results box: its top edge, the menu
// bar, the borders and the margin below it.
constexpr int kNonResultHeightTwips = 4650;

void PlaceTwips(QWidget* widget, int left, int top, int width, int height) {
  widget->setGeometry(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
                      TwipsToPixels(height));
}

QFont SansFont(double points, bool bold) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

QAction* MenuItem(QMenu* menu, const char* name, const char* caption, bool checkable) {
  QAction* action = menu->addAction(QString::fromUtf8(caption));
  action->setObjectName(QString::fromUtf8(name));
  action->setCheckable(checkable);
  return action;
}

// A new group of items of which one at most is marked: marking one unmarks the others, and
// choosing the marked one again keeps it marked. Owned by `menu`.
QActionGroup* ExclusiveGroup(QMenu* menu) {
  auto* group = new QActionGroup(menu);
  group->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
  return group;
}

// A marked-choice item of `group` that carries its index for the group's handler.
QAction* ChoiceItem(QActionGroup* group, QMenu* menu, const char* name, const char* caption,
                    int index) {
  QAction* action = MenuItem(menu, name, caption, true);
  action->setData(index);
  group->addAction(action);
  return action;
}

void Separator(QMenu* menu, const char* name) {
  menu->addSeparator()->setObjectName(QString::fromUtf8(name));
}

// The application's style with a check box indicator no taller than `height` pixels, for a check
// box drawn lower than the style's own indicator.
class IndicatorFitStyle final : public QProxyStyle {
 public:
  explicit IndicatorFitStyle(int height) : height_(height) {}
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    const int value = QProxyStyle::pixelMetric(metric, option, widget);
    if (metric == PM_IndicatorHeight || metric == PM_IndicatorWidth) {
      return std::min(value, height_);
    }
    return value;
  }

 private:
  int height_;
};

// Where the window keeps a control: one of its control members, or a test box by its index.
template <typename W>
using Member = W* RS232_Form::*;
struct TestBox {
  std::size_t index;
};
using ControlSlot =
    std::variant<Member<QGroupBox>, Member<QCheckBox>, Member<QLabel>, Member<QComboBox>,
                 Member<QPushButton>, Member<QPlainTextEdit>, TestBox>;

// One control as drawn: its kind is the type of its slot.
struct Control {
  ControlSlot slot;
  Member<QGroupBox> frame;  // the frame it stands in; null for the window's client area
  const char* name;
  const char* caption;  // "" none
  const char* tooltip;  // "" none
  int left, top, width, height;
};

template <typename W>
W* Create(W*& place, QWidget* parent) {
  place = new W(parent);
  return place;
}

}  // namespace

void RS232_Form::CreateControls() {
  setObjectName(QStringLiteral("RS232_Form"));
  setWindowTitle(QStringLiteral("RS-232 Serivane"));
  // The width is fixed by the size rule, so a maximized window would only be taller; the
  // operator drags the height instead.
  setWindowFlag(Qt::WindowMaximizeButtonHint, false);

  const QFont normal = SansFont(8.25, false);
  const QFont frame_caption = SansFont(8.25, true);
  setFont(normal);

  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  setCentralWidget(client);

  // Frames come before what they hold. Every check box has its caption on the left and its box
  // at the right end of its area.
  const auto manual = &RS232_Form::Manual_Frame;
  const auto test = &RS232_Form::Test_Frame;
  const Control controls[] = {
      {manual, nullptr, "Manual_Frame", "&Manual:", "manual functions", 120, 120, 2295, 2295},
      {&RS232_Form::RTS_Check, manual, "RTS_Check",
       "RTS &on/off:", "toggle RTS on/off (on= positive voltage)", 120, 360, 1935, 255},
      {&RS232_Form::DTR_Check, manual, "DTR_Check",
       "&DTR on/off:", "toggle DTR on/off (on= positive voltage)", 120, 720, 1935, 255},
      {&RS232_Form::CTS_Check, manual, "CTS_Check",
       "CTS state:", "display present state of CTS input (checked= on)", 120, 1080, 1935, 255},
      {&RS232_Form::DSR_Check, manual, "DSR_Check",
       "DSR state:", "display present state of DSR input (checked= on)", 120, 1440, 1935, 255},
      {&RS232_Form::DCD_Check, manual, "DCD_Check", "DCD state:", "", 120, 1800, 1935, 195},
      {test, nullptr, "Test_Frame", "&Test:", "test(s) to be executed", 2640, 120, 2775, 3375},
      {TestBox{1}, test, "Test_Check_1", engine::TextsOf(1).caption.data(), "close/open Com port",
       120, 360, 2415, 255},
      {TestBox{2}, test, "Test_Check_2", engine::TextsOf(2).caption.data(),
       "send/receive string of characters", 120, 720, 2415, 255},
      {TestBox{3}, test, "Test_Check_3", engine::TextsOf(3).caption.data(),
       "send/receive a number of single bytes, and measure time used", 120, 1080, 2415, 255},
      {TestBox{4}, test, "Test_Check_4", engine::TextsOf(4).caption.data(),
       "set/clear RTS and detect activity on CTS", 120, 1440, 2415, 255},
      {TestBox{5}, test, "Test_Check_5", engine::TextsOf(5).caption.data(),
       "set/clear DTR and detect activity on DSR", 120, 1800, 2415, 255},
      {&RS232_Form::Loop_Check, test, "Loop_Check",
       "R&epeat test(s):", "repeat test(s) until stopped (unchecked)", 120, 2280, 2415, 255},
      {&RS232_Form::Run_Button, test, "Run_Button", "&Run test(s)", "run marked test(s)", 600, 2760,
       1575, 375},
      {&RS232_Form::Com_Label, nullptr, "Com_Label", "&Com port:", "", 240, 2760, 975, 255},
      {&RS232_Form::Com_Combo, nullptr, "Com_Combo", "",
       "select Com-port to use (setup when focus is lost)", 1200, 2715, 975, 315},
      {&RS232_Form::Result_Text, nullptr, "Result_Text", "Result_Text",
       "results and remarks for operator", 120, 3720, 5295, 855},
  };
  for (const Control& c : controls) {
    QWidget* const parent = c.frame != nullptr ? this->*c.frame : client;
    QWidget* const widget = std::visit(
        [&](auto slot) -> QWidget* {
          if constexpr (std::is_same_v<decltype(slot), TestBox>) {
            return Create(Test_Check[slot.index], parent);
          } else {
            return Create(this->*slot, parent);
          }
        },
        c.slot);
    widget->setObjectName(QString::fromUtf8(c.name));
    widget->setToolTip(QString::fromUtf8(c.tooltip));
    PlaceTwips(widget, c.left, c.top, c.width, c.height);
    const QString caption = QString::fromUtf8(c.caption);
    if (auto* frame = qobject_cast<QGroupBox*>(widget)) {
      frame->setTitle(caption);
      frame->setFont(frame_caption);
    } else if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      box->setText(caption);
      box->setFont(normal);  // not its frame's
      box->setLayoutDirection(Qt::RightToLeft);
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
      button->setText(caption);
      button->setFont(SansFont(9.75, true));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(caption);
    } else if (auto* text = qobject_cast<QPlainTextEdit*>(widget)) {
      text->setPlainText(caption);
    }
  }
  for (std::size_t index = 1; index <= 5; ++index) Test_Check[index]->setChecked(true);

  // This box is lower than the others; a full-size indicator would be cut off at its foot.
  auto* fit_style = new IndicatorFitStyle(DCD_Check->height() - 2);
  fit_style->setParent(DCD_Check);
  DCD_Check->setStyle(fit_style);
  Com_Label->setBuddy(Com_Combo);

  Result_Text->setReadOnly(true);
  // Nothing is ever undone in the box; lines appended to it must not pile up in an undo history.
  Result_Text->setUndoRedoEnabled(false);
  Result_Text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  Result_Text->setFocusPolicy(Qt::StrongFocus);
  Result_Text->setTabChangesFocus(true);
  Result_Text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Result_Text->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The scroll bar is painted again with each line the box shows. Its holder fills itself with
  // the colour that the window's background gives it anyway, so that the window, its client
  // area and the box's frame need not be painted beneath it each time.
  Result_Text->verticalScrollBar()->parentWidget()->setAutoFillBackground(true);

  // Tab order; the frames and the label take no focus of their own, their access keys move it
  // to the next control.
  QWidget* const order[] = {Run_Button,    Result_Text,   RTS_Check,     DTR_Check,
                            CTS_Check,     DSR_Check,     DCD_Check,     Com_Combo,
                            Test_Check[1], Test_Check[2], Test_Check[3], Test_Check[4],
                            Test_Check[5], Loop_Check};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  Run_Button->setFocus();

  Update_Timer = new QTimer(this);
  Update_Timer->setObjectName(QStringLiteral("Update_Timer"));
  Update_Timer->setInterval(500);
  tmrOnComm = new QTimer(this);
  tmrOnComm->setObjectName(QStringLiteral("tmrOnComm"));
  tmrOnComm->setInterval(1000);
}

void RS232_Form::CreateMenus() {
  Func_Menu = menuBar()->addMenu(QStringLiteral("&Function"));
  Func_Menu->setObjectName(QStringLiteral("Func_Menu"));
  FuncStart_Menu = MenuItem(Func_Menu, "FuncStart_Menu", "&Run test at startup", true);
  FuncClose_Menu = MenuItem(Func_Menu, "FuncClose_Menu", "&Close when finished", true);
  FuncClear_Menu = MenuItem(Func_Menu, "FuncClear_Menu", "C&lear results", false);
  Separator(Func_Menu, "Space_M11");
  FuncAbout_Menu = MenuItem(Func_Menu, "FuncAbout_Menu", "&About", false);
  Separator(Func_Menu, "Space_M12");
  FuncExit_Menu = MenuItem(Func_Menu, "FuncExit_Menu", "E&xit", false);

  Setup_Menu = menuBar()->addMenu(QStringLiteral("&Setup"));
  Setup_Menu->setObjectName(QStringLiteral("Setup_Menu"));
  SetupFile_Menu = MenuItem(Setup_Menu, "SetupFile_Menu", "&Resultfile name", false);
  // Switched off for good: the result file is named in the registry only. Shown greyed so the
  // operator sees where it would be.
  SetupFile_Menu->setEnabled(false);
  SetupDelay_Menu = MenuItem(Setup_Menu, "SetupDelay_Menu", "&Handshake test delay", false);
  SetupDuration_Menu =
      MenuItem(Setup_Menu, "SetupDuration_Menu", "&Max. close/open duration", false);
  Separator(Setup_Menu, "Space_M21");

  SetupBaud_Menu = Setup_Menu->addMenu(QStringLiteral("&Baudrate"));
  SetupBaud_Menu->setObjectName(QStringLiteral("SetupBaud_Menu"));
  static constexpr std::array<const char*, 11> kBaudCaptions{nullptr,  "300",    "&600",  "1200",
                                                             "&2400",  "&4800",  "&9600", "&19200",
                                                             "&38400", "&57600", "115200"};
  QActionGroup* baud_group = ExclusiveGroup(SetupBaud_Menu);
  for (std::size_t i = 1; i <= 10; ++i) {
    const std::string name = "baud_menu_" + std::to_string(i);
    baud_menu[i] =
        ChoiceItem(baud_group, SetupBaud_Menu, name.c_str(), kBaudCaptions[i], static_cast<int>(i));
  }

  SetupBits_Menu = Setup_Menu->addMenu(QStringLiteral("B&its"));
  SetupBits_Menu->setObjectName(QStringLiteral("SetupBits_Menu"));
  QActionGroup* bits_group = ExclusiveGroup(SetupBits_Menu);
  Bits_Menu[7] = ChoiceItem(bits_group, SetupBits_Menu, "Bits_Menu_7", "&7 bits", 7);
  Bits_Menu[8] = ChoiceItem(bits_group, SetupBits_Menu, "Bits_Menu_8", "&8 bits", 8);

  SetupStop_Menu = Setup_Menu->addMenu(QStringLiteral("&Stopbits"));
  SetupStop_Menu->setObjectName(QStringLiteral("SetupStop_Menu"));
  QActionGroup* stop_group = ExclusiveGroup(SetupStop_Menu);
  Stop_Menu[1] = ChoiceItem(stop_group, SetupStop_Menu, "Stop_Menu_1", "&1 stopbit", 1);
  Stop_Menu[2] = ChoiceItem(stop_group, SetupStop_Menu, "Stop_Menu_2", "&2 stopbits", 2);

  SetupParity_Menu = Setup_Menu->addMenu(QStringLiteral("&Parity"));
  SetupParity_Menu->setObjectName(QStringLiteral("SetupParity_Menu"));
  QActionGroup* parity_group = ExclusiveGroup(SetupParity_Menu);
  Parity_Menu[1] = ChoiceItem(parity_group, SetupParity_Menu, "Parity_Menu_1", "&None", 1);
  Parity_Menu[2] = ChoiceItem(parity_group, SetupParity_Menu, "Parity_Menu_2", "&Odd", 2);
  Parity_Menu[3] = ChoiceItem(parity_group, SetupParity_Menu, "Parity_Menu_3", "&Even", 3);

  // Client area 5580 x 4710 at creation, below the finished menu bar; the size rule makes the
  // outer width 5700 once shown.
  resize(TwipsToPixels(5580), menuBar()->sizeHint().height() + TwipsToPixels(4710));
}

int RS232_Form::OuterHeightPixels() const {
  if (isMinimized() || isMaximized() || isFullScreen()) {
    if (normal_outer_height_px_ > 0) return normal_outer_height_px_;
    return normalGeometry().height() + (frameGeometry().height() - height());
  }
  return frameGeometry().height();
}

void RS232_Form::SetOuterSize(int width_px, int height_px) {
  const int extra_w = frameGeometry().width() - width();
  const int extra_h = frameGeometry().height() - height();
  const QSize inner(width_px - extra_w, height_px - extra_h);
  if (inner != size()) resize(inner);
}

void RS232_Form::Form_Resize() {
  if (isMinimized()) return;
  const int outer_height = frameGeometry().height();
  const int min_height = TwipsToPixels(kMinOuterHeightTwips);
  const int width_px = TwipsToPixels(kOuterWidthTwips);
  if (isMaximized() || isFullScreen()) {
    Result_Text->resize(Result_Text->width(),
                        std::max(0, outer_height - TwipsToPixels(kNonResultHeightTwips)));
    return;
  }
  if (outer_height >= min_height) {
    Result_Text->resize(Result_Text->width(), outer_height - TwipsToPixels(kNonResultHeightTwips));
    SetOuterSize(width_px, outer_height);
  } else {
    // The new size comes back as another resize event, which sizes the results box.
    SetOuterSize(width_px, min_height);
  }
}

void RS232_Form::ApplyPendingHeight() {
  if (pending_outer_height_px_ <= 0 || windowHandle() == nullptr) return;
  if (frameGeometry().height() == height()) return;  // not framed (yet, or ever)
  const int wanted = pending_outer_height_px_;
  pending_outer_height_px_ = 0;
  SetOuterSize(TwipsToPixels(kOuterWidthTwips), wanted);
}

void RS232_Form::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  // The normal-state height is kept for saving while minimized or maximized. A size below the
  // minimum is passing (the rule raises it at once), or a minimized window reporting its
  // icon's size before its state.
  if (!isMinimized() && !isMaximized() && !isFullScreen() &&
      frameGeometry().height() >= TwipsToPixels(kMinOuterHeightTwips)) {
    normal_outer_height_px_ = frameGeometry().height();
  }
  ApplyPendingHeight();
  Form_Resize();
}

void RS232_Form::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  ApplyPendingHeight();
  if (!shown_once_) {
    shown_once_ = true;
    OpenPortAtShow();
  }
}

void RS232_Form::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Restoring a minimized window may keep its size and send no resize; the rule runs anyway.
  if (event->type() == QEvent::WindowStateChange && !isMinimized()) Form_Resize();
}

void RS232_Form::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  ApplyPendingHeight();
}

}  // namespace serivane::app
