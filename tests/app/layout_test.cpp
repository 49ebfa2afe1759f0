// The window as the operator sees it: where every control stands, what it says, the order the
// Tab key walks, and how the window takes a new size.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using LayoutTest = FormTest;

QRect Twips(int left, int top, int width, int height) {
  return QRect(TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width),
               TwipsToPixels(height));
}

QString Caption(QWidget* widget) {
  if (auto* box = qobject_cast<QGroupBox*>(widget)) return box->title();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  return {};
}

TEST_F(LayoutTest, ControlsStandWhereDrawnWithTheirCaptionsAndTooltips) {
  Create();
  struct Case {
    const char* name;
    QRect where;  // relative to the window's client area or the control's frame
    const char* caption;
    const char* tooltip;
  };
  const Case cases[] = {
      {"Manual_Frame", Twips(120, 120, 2295, 2295), "&Manual:", "manual functions"},
      {"Test_Frame", Twips(2640, 120, 2775, 3375), "&Test:", "test(s) to be executed"},
      {"Com_Label", Twips(240, 2760, 975, 255), "&Com port:", ""},
      {"Com_Combo", Twips(1200, 2715, 975, 315), "",
       "select Com-port to use (setup when focus is lost)"},
      {"Result_Text", Twips(120, 3720, 5295, 855), "", "results and remarks for operator"},
      {"RTS_Check", Twips(120, 360, 1935, 255),
       "RTS &on/off:", "toggle RTS on/off (on= positive voltage)"},
      {"DTR_Check", Twips(120, 720, 1935, 255),
       "&DTR on/off:", "toggle DTR on/off (on= positive voltage)"},
      {"CTS_Check", Twips(120, 1080, 1935, 255),
       "CTS state:", "display present state of CTS input (checked= on)"},
      {"DSR_Check", Twips(120, 1440, 1935, 255),
       "DSR state:", "display present state of DSR input (checked= on)"},
      {"DCD_Check", Twips(120, 1800, 1935, 195), "DCD state:", ""},
      {"Test_Check_1", Twips(120, 360, 2415, 255), "Close/Open port:", "close/open Com port"},
      {"Test_Check_2", Twips(120, 720, 2415, 255),
       "Data Tx/Rx:", "send/receive string of characters"},
      {"Test_Check_3", Twips(120, 1080, 2415, 255),
       "100 bytes Tx/Rx:", "send/receive a number of single bytes, and measure time used"},
      {"Test_Check_4", Twips(120, 1440, 2415, 255),
       "RTS/CTS handshake:", "set/clear RTS and detect activity on CTS"},
      {"Test_Check_5", Twips(120, 1800, 2415, 255),
       "DTR/DSR handshake:", "set/clear DTR and detect activity on DSR"},
      {"Loop_Check", Twips(120, 2280, 2415, 255),
       "R&epeat test(s):", "repeat test(s) until stopped (unchecked)"},
      {"Run_Button", Twips(600, 2760, 1575, 375), "&Run test(s)", "run marked test(s)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto* widget = form_->findChild<QWidget*>(QString::fromUtf8(c.name));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->geometry(), c.where);
    EXPECT_EQ(Caption(widget), QString::fromUtf8(c.caption));
    EXPECT_EQ(widget->toolTip(), QString::fromUtf8(c.tooltip));
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      EXPECT_EQ(box->layoutDirection(), Qt::RightToLeft) << "caption left of the box";
    }
  }
  EXPECT_EQ(form_->windowTitle(), QStringLiteral("RS-232 Serivane"));
  // Client area 5580 x 4710 below the menu bar until the size rule runs at the first show.
  EXPECT_EQ(form_->size(), QSize(TwipsToPixels(5580),
                                 form_->menuBar()->sizeHint().height() + TwipsToPixels(4710)));

  // Frame captions bold 8.25 pt, the Run button bold 9.75 pt, everything else plain.
  EXPECT_TRUE(form_->Manual_Frame->font().bold());
  EXPECT_DOUBLE_EQ(form_->Manual_Frame->font().pointSizeF(), 8.25);
  EXPECT_TRUE(form_->Test_Frame->font().bold());
  EXPECT_TRUE(form_->Run_Button->font().bold());
  EXPECT_DOUBLE_EQ(form_->Run_Button->font().pointSizeF(), 9.75);
  const QWidget* const plain_controls[] = {form_->RTS_Check, form_->Test_Check[1],
                                           form_->Loop_Check, form_->Com_Combo};
  for (const QWidget* plain : plain_controls) {
    EXPECT_FALSE(plain->font().bold()) << plain->objectName().toStdString();
  }
}

TEST_F(LayoutTest, TabWalksTheControlsInOrderFromTheRunButton) {
  Start();
  QApplication::setActiveWindow(form_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  EXPECT_EQ(QApplication::focusWidget(), form_->Run_Button);
  const char* order[] = {"Result_Text",  "RTS_Check",    "DTR_Check",    "CTS_Check",
                         "DSR_Check",    "DCD_Check",    "Com_Combo",    "Test_Check_1",
                         "Test_Check_2", "Test_Check_3", "Test_Check_4", "Test_Check_5",
                         "Loop_Check",   "Run_Button"};
  for (const char* name : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), name);
  }
}

// Alt with a frame's or the label's access key moves the focus to the next control in tab
// order; with a check box's it toggles the box.
TEST_F(LayoutTest, AccessKeysReachTheirControls) {
  Start();
  QApplication::setActiveWindow(form_.get());
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  struct Case {
    Qt::Key key;
    const char* focus;
  };
  form_->DTR_Check->setFocus();  // the frame's key still goes to its first control
  const Case cases[] = {{Qt::Key_C, "Com_Combo"},
                        {Qt::Key_M, "RTS_Check"},
                        {Qt::Key_T, "Test_Check_1"},
                        {Qt::Key_E, "Loop_Check"},
                        {Qt::Key_D, "DTR_Check"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.focus);
    QTest::keyClick(form_.get(), c.key, Qt::AltModifier);
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_EQ(QApplication::focusWidget()->objectName().toStdString(), c.focus);
  }
  // A check box's access key clicks it (after the button's short press animation).
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form_->Loop_Check->isChecked() && !form_->DTR_Check->isChecked(); }, 3000));
}

TEST_F(LayoutTest, MenusHoldTheirItemsInOrder) {
  Create();
  auto captions = [](QMenu* menu) {
    std::vector<std::string> out;
    for (QAction* action : menu->actions()) {
      out.push_back(action->isSeparator() ? "-" : action->text().toStdString());
      EXPECT_TRUE(action->shortcut().isEmpty());
    }
    return out;
  };
  const QList<QAction*> top = form_->menuBar()->actions();
  ASSERT_EQ(top.size(), 2);
  EXPECT_EQ(top[0]->text(), QStringLiteral("&Function"));
  EXPECT_EQ(top[1]->text(), QStringLiteral("&Setup"));
  EXPECT_EQ(captions(form_->Func_Menu),
            (std::vector<std::string>{"&Run test at startup", "&Close when finished",
                                      "C&lear results", "-", "&About", "-", "E&xit"}));
  EXPECT_EQ(captions(form_->Setup_Menu),
            (std::vector<std::string>{"&Resultfile name", "&Handshake test delay",
                                      "&Max. close/open duration", "-", "&Baudrate", "B&its",
                                      "&Stopbits", "&Parity"}));
  EXPECT_EQ(captions(form_->SetupBaud_Menu),
            (std::vector<std::string>{"300", "&600", "1200", "&2400", "&4800", "&9600", "&19200",
                                      "&38400", "&57600", "115200"}));
  EXPECT_EQ(captions(form_->SetupBits_Menu), (std::vector<std::string>{"&7 bits", "&8 bits"}));
  EXPECT_EQ(captions(form_->SetupStop_Menu),
            (std::vector<std::string>{"&1 stopbit", "&2 stopbits"}));
  EXPECT_EQ(captions(form_->SetupParity_Menu),
            (std::vector<std::string>{"&None", "&Odd", "&Even"}));
  EXPECT_FALSE(form_->SetupFile_Menu->isEnabled());
  EXPECT_EQ(form_->findChild<QAction*>(QStringLiteral("baud_menu_7"))->text(),
            QStringLiteral("&19200"));
}

// The size rule works on the outer size: the width always comes back to 5700 twips, the height
// never stays below 5500, and the results box takes every twip of height above 4650.
TEST_F(LayoutTest, ResizeKeepsTheWidthAndGivesExtraHeightToTheResults) {
  Start();
  const int width = TwipsToPixels(5700);
  auto outer = [this] { return form_->frameGeometry().size(); };
  auto set_outer = [this](int w, int h) {
    const QSize extra = form_->frameGeometry().size() - form_->size();
    form_->resize(w - extra.width(), h - extra.height());
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return outer().width() == width; }));

  struct Case {
    const char* what;
    int request_w, request_h;  // outer pixels
    int expect_h;
  };
  const Case cases[] = {
      {"narrower and taller", width - 60, TwipsToPixels(7000), TwipsToPixels(7000)},
      {"wider", width + 90, TwipsToPixels(7000), TwipsToPixels(7000)},
      {"8000 high", width, TwipsToPixels(8000), TwipsToPixels(8000)},
      {"below 5500", width, TwipsToPixels(3000), TwipsToPixels(5500)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set_outer(c.request_w, c.request_h);
    EXPECT_TRUE(QTest::qWaitFor([&] { return outer() == QSize(width, c.expect_h); }, 3000))
        << outer().width() << "x" << outer().height();
    EXPECT_EQ(form_->Result_Text->height(), c.expect_h - TwipsToPixels(4650));
    EXPECT_EQ(form_->Result_Text->width(), TwipsToPixels(5295));
    EXPECT_EQ(form_->Result_Text->y(), TwipsToPixels(3720));
  }
  // Minimized: nothing is resized; restored: the rule runs again on the restored height.
  set_outer(width, TwipsToPixels(8000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return outer().height() == TwipsToPixels(8000); }, 3000));
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }, 3000));
  form_->Result_Text->resize(form_->Result_Text->width(), 10);
  form_->Form_Resize();
  EXPECT_EQ(form_->Result_Text->height(), 10);
  form_->showNormal();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form_->Result_Text->height() == TwipsToPixels(8000) - TwipsToPixels(4650); },
      3000));
}

}  // namespace
}  // namespace serivane::app::testing
