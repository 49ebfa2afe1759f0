// The window as the operator sees it: where every control stands, what it says, the order the
// Tab key walks, the access keys, the menus, and how the window takes a new size.
#include <QLabel>
#include <QMenu>
#include <QMenuBar>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using LayoutTest = FormTest;

// "name left,top,width,height (twips) caption|tooltip", a check box's caption left of the box.
std::string Describe(QWidget* w) {
  QString caption;
  if (auto* box = qobject_cast<QGroupBox*>(w)) caption = box->title();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) caption = button->text();
  if (auto* label = qobject_cast<QLabel*>(w)) caption = label->text();
  if (qobject_cast<QCheckBox*>(w) && w->layoutDirection() == Qt::RightToLeft) caption += "[]";
  const QRect g = w->geometry();
  return QStringLiteral("%1 %2,%3,%4,%5 %6|%7")
      .arg(w->objectName())
      .arg(g.x() * 15)
      .arg(g.y() * 15)
      .arg(g.width() * 15)
      .arg(g.height() * 15)
      .arg(caption, w->toolTip())
      .toStdString();
}

// Each menu as "title: item item ...", after its submenus; "-" a separator, "(off)" disabled.
void DescribeMenus(QMenu* menu, Strings& out) {
  std::string line = menu->title().toStdString() + ":";
  for (QAction* item : menu->actions()) {
    line += item->isSeparator() ? " -" : " " + item->text().toStdString();
    if (!item->isEnabled()) line += "(off)";
    if (item->menu() != nullptr) DescribeMenus(item->menu(), out);
  }
  out.push_back(line);
}

TEST_F(LayoutTest, ControlsMenusAndTabOrderAreAsDrawn) {
  Start();
  ASSERT_TRUE(Activate());
  ASSERT_TRUE(WaitTick());
  const Strings expected = {
      "Result_Text 120,3720,5295,855 |results and remarks for operator",
      "Manual_Frame 120,120,2295,2295 &Manual:|manual functions",
      "RTS_Check 120,360,1935,255 RTS &on/off:[]|toggle RTS on/off (on= positive voltage)",
      "DTR_Check 120,720,1935,255 &DTR on/off:[]|toggle DTR on/off (on= positive voltage)",
      "CTS_Check 120,1080,1935,255 CTS state:[]|display present state of CTS input (checked= on)",
      "DSR_Check 120,1440,1935,255 DSR state:[]|display present state of DSR input (checked= on)",
      "DCD_Check 120,1800,1935,195 DCD state:[]|",
      "Com_Label 240,2760,975,255 &Com port:|",
      "Com_Combo 1200,2715,975,315 |select Com-port to use (setup when focus is lost)",
      "Test_Frame 2640,120,2775,3375 &Test:  (38400,N,8,1)|test(s) to be executed",
      "Test_Check_1 120,360,2415,255 Close/Open port:[]|close/open Com port",
      "Test_Check_2 120,720,2415,255 Data Tx/Rx:[]|send/receive string of characters",
      "Test_Check_3 120,1080,2415,255 100 bytes Tx/Rx:[]|send/receive a number of single bytes, "
      "and measure time used",
      "Test_Check_4 120,1440,2415,255 RTS/CTS handshake:[]|set/clear RTS and detect activity on "
      "CTS",
      "Test_Check_5 120,1800,2415,255 DTR/DSR handshake:[]|set/clear DTR and detect activity on "
      "DSR",
      "Loop_Check 120,2280,2415,255 R&epeat test(s):[]|repeat test(s) until stopped (unchecked)",
      "Run_Button 600,2760,1575,375 &Run test(s)|run marked test(s)",
  };
  // The table lists the controls in tab order from the Run button, frames and label included.
  Strings shown, tab_walk, expected_walk;
  EXPECT_EQ(Focused(), "Run_Button");
  for (const std::string& row : expected) {
    const std::string name = row.substr(0, row.find(' '));
    shown.push_back(Describe(form_->findChild<QWidget*>(QString::fromStdString(name))));
    if (name.find("Frame") == std::string::npos && name != "Com_Label") {
      expected_walk.push_back(name);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      tab_walk.push_back(Focused());
    }
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(tab_walk, expected_walk);
  EXPECT_EQ(form_->windowTitle(), QStringLiteral("RS-232 Serivane"));

  Strings menus;
  for (QAction* top : form_->menuBar()->actions()) DescribeMenus(top->menu(), menus);
  EXPECT_EQ(menus,
            (Strings{"&Function: &Run test at startup &Close when finished C&lear results - "
                     "&About - E&xit",
                     "&Baudrate: 300 &600 1200 &2400 &4800 &9600 &19200 &38400 &57600 115200",
                     "B&its: &7 bits &8 bits", "&Stopbits: &1 stopbit &2 stopbits",
                     "&Parity: &None &Odd &Even",
                     "&Setup: &Resultfile name(off) &Handshake test delay &Max. close/open "
                     "duration - &Baudrate B&its &Stopbits &Parity"}));
}

// A frame's or the label's access key moves the focus to the control after it in tab order, a
// check box's toggles the box.
TEST_F(LayoutTest, AccessKeysReachTheirControls) {
  Start();
  ASSERT_TRUE(Activate());
  form_->DTR_Check->setFocus();  // the frame's key still goes to its first control
  const std::pair<Qt::Key, const char*> cases[] = {{Qt::Key_C, "Com_Combo"},
                                                   {Qt::Key_M, "RTS_Check"},
                                                   {Qt::Key_T, "Test_Check_1"},
                                                   {Qt::Key_E, "Loop_Check"},
                                                   {Qt::Key_D, "DTR_Check"}};
  for (const auto& [key, focus] : cases) {
    QTest::keyClick(form_.get(), key, Qt::AltModifier);
    EXPECT_EQ(Focused(), focus);
  }
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return form_->Loop_Check->isChecked() && !form_->DTR_Check->isChecked(); }, 3000));
}

// The outer width always comes back to 5700 twips, the height never stays below 5500, and the
// results box takes every twip of height above 4650.
TEST_F(LayoutTest, ResizeKeepsTheWidthAndGivesExtraHeightToTheResults) {
  Start();
  const int width = TwipsToPixels(5700);
  auto outer = [this] { return form_->frameGeometry().size(); };
  auto resize_to = [&](int w, int twips_high) {
    const QSize frame = outer() - form_->size();
    form_->resize(w - frame.width(), TwipsToPixels(twips_high) - frame.height());
    const int expect_h = TwipsToPixels(std::max(twips_high, 5500));
    return QTest::qWaitFor([&] { return outer() == QSize(width, expect_h); }, 3000);
  };
  auto results = [this] { return form_->Result_Text->geometry(); };
  ASSERT_TRUE(QTest::qWaitFor([&] { return outer().width() == width; }));
  const std::pair<int, int> cases[] = {
      {width - 60, 7000}, {width + 90, 7000}, {width, 8000}, {width, 3000}};
  for (const auto& [w, h] : cases) {
    SCOPED_TRACE(std::to_string(w) + "px x " + std::to_string(h) + " twips");
    EXPECT_TRUE(resize_to(w, h)) << outer().width() << "x" << outer().height();
    EXPECT_EQ(results(), QRect(TwipsToPixels(120), TwipsToPixels(3720), TwipsToPixels(5295),
                               TwipsToPixels(std::max(h, 5500)) - TwipsToPixels(4650)));
  }
  // Minimized nothing is resized; restored the rule runs again.
  ASSERT_TRUE(resize_to(width, 8000));
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }, 3000));
  form_->Result_Text->resize(form_->Result_Text->width(), 10);
  form_->Form_Resize();
  EXPECT_EQ(results().height(), 10);
  form_->showNormal();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return results().height() == TwipsToPixels(8000) - TwipsToPixels(4650); }, 3000));
}

}  // namespace
}  // namespace serivane::app::testing
