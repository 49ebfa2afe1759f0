// The window as the operator sees it: where every control stands, what it says, the order the
// Tab key walks, the access keys, the menus, and how the window takes a new size.
#include <QMenu>
#include <QMenuBar>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using LayoutTest = FormTest;

// Each menu as "title: item item ...", after its submenus; "-" a separator, "(off)" disabled.
void DescribeMenus(QMenu* menu, Strings& out) {
  std::string line = menu->title().toStdString() + ":";
  for (QAction* item : menu->actions()) {
    line += " " + (item->isSeparator() ? "-" : item->text().toStdString());
    if (!item->isEnabled()) line += "(off)";
    if (item->menu() != nullptr) DescribeMenus(item->menu(), out);
  }
  out.push_back(line);
}

TEST_F(LayoutTest, ControlsMenusAndTabOrderAreAsDrawn) {
  Start();
  ASSERT_TRUE(Activate() && WaitTick());
  // Name, left, top, width, height in twips, caption ("<" its box on the right), tooltip; in tab
  // order from the Run button, frames and the label included.
  const Strings expected = {
      "Result_Text 120,3720,5295,855 |results and remarks for operator",
      "Manual_Frame 120,120,2295,2295 &Manual:|manual functions",
      "RTS_Check 120,360,1935,255 RTS &on/off:<|toggle RTS on/off (on= positive voltage)",
      "DTR_Check 120,720,1935,255 &DTR on/off:<|toggle DTR on/off (on= positive voltage)",
      "CTS_Check 120,1080,1935,255 CTS state:<|display present state of CTS input (checked= on)",
      "DSR_Check 120,1440,1935,255 DSR state:<|display present state of DSR input (checked= on)",
      "DCD_Check 120,1800,1935,195 DCD state:<|",
      "Com_Label 240,2760,975,255 &Com port:|",
      "Com_Combo 1200,2715,975,315 |select Com-port to use (setup when focus is lost)",
      "Test_Frame 2640,120,2775,3375 &Test:  (38400,N,8,1)|test(s) to be executed",
      "Test_Check_1 120,360,2415,255 Close/Open port:<|close/open Com port",
      "Test_Check_2 120,720,2415,255 Data Tx/Rx:<|send/receive string of characters",
      "Test_Check_3 120,1080,2415,255 100 bytes Tx/Rx:<|send/receive a number of single bytes, "
      "and measure time used",
      "Test_Check_4 120,1440,2415,255 RTS/CTS handshake:<|set/clear RTS and detect activity on CTS",
      "Test_Check_5 120,1800,2415,255 DTR/DSR handshake:<|set/clear DTR and detect activity on DSR",
      "Loop_Check 120,2280,2415,255 R&epeat test(s):<|repeat test(s) until stopped (unchecked)",
      "Run_Button 600,2760,1575,375 &Run test(s)|run marked test(s)"};
  Strings shown, tab_walk, expected_walk;
  for (const std::string& row : expected) {
    const QString name = QString::fromStdString(row.substr(0, row.find(' ')));
    QWidget* w = form_->findChild<QWidget*>(name);
    const QRect g(w->geometry().topLeft() * 15, w->geometry().size() * 15);
    shown.push_back(
        QString::asprintf(
            "%s %d,%d,%d,%d %s%s|%s", qPrintable(name), g.x(), g.y(), g.width(), g.height(),
            qPrintable(w->property("title").toString() + w->property("text").toString()),
            w->layoutDirection() == Qt::RightToLeft ? "<" : "", qPrintable(w->toolTip()))
            .toStdString());
    if (name.contains("Frame") || name == "Com_Label") continue;
    expected_walk.push_back(name.toStdString());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    tab_walk.push_back(Focused());
  }
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(tab_walk, expected_walk);
  EXPECT_EQ(form_->windowTitle(), QStringLiteral("RS-232 Serivane"));
  Strings menus;
  for (QAction* top : form_->menuBar()->actions()) DescribeMenus(top->menu(), menus);
  EXPECT_EQ(menus, (Strings{"&Function: &Run test at startup &Close when finished C&lear "
                            "results - &About - E&xit",
                            "&Baudrate: 300 &600 1200 &2400 &4800 &9600 &19200 &38400 &57600 "
                            "115200",
                            "B&its: &7 bits &8 bits", "&Stopbits: &1 stopbit &2 stopbits",
                            "&Parity: &None &Odd &Even",
                            "&Setup: &Resultfile name(off) &Handshake test delay &Max. "
                            "close/open duration - &Baudrate B&its &Stopbits &Parity"}));
}

// A frame's or the label's access key moves the focus to the control after it in tab order, a
// check box's toggles the box.
TEST_F(LayoutTest, AccessKeysReachTheirControls) {
  Start();
  ASSERT_TRUE(Activate());
  Find<QCheckBox>("DTR_Check")->setFocus();  // the frame's key still goes to its first control
  Strings reached;
  for (Qt::Key key : {Qt::Key_C, Qt::Key_M, Qt::Key_T, Qt::Key_E, Qt::Key_D}) {
    QTest::keyClick(form_.get(), key, Qt::AltModifier);
    reached.push_back(Focused());
  }
  EXPECT_EQ(reached,
            (Strings{"Com_Combo", "RTS_Check", "Test_Check_1", "Loop_Check", "DTR_Check"}));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        return Find<QCheckBox>("Loop_Check")->isChecked() &&
               !Find<QCheckBox>("DTR_Check")->isChecked();
      },
      3000));
}

// The outer width always comes back to 5700 twips, the height never stays below 5500, and the
// results box takes every twip of height above 4650; minimized, nothing is resized.
TEST_F(LayoutTest, ResizeKeepsTheWidthAndGivesExtraHeightToTheResults) {
  Start();
  const int width = TwipsToPixels(5700);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->frameGeometry().width() == width; }));
  for (const auto& [w, twips] :
       {std::pair{width - 60, 7000}, {width + 90, 7000}, {width, 3000}, {width, 8000}}) {
    const QSize frame = form_->frameGeometry().size() - form_->size();
    form_->resize(w - frame.width(), TwipsToPixels(twips) - frame.height());
    const int high = TwipsToPixels(std::max(twips, 5500));
    const QRect results(TwipsToPixels(120), TwipsToPixels(3720), TwipsToPixels(5295),
                        high - TwipsToPixels(4650));
    EXPECT_TRUE(QTest::qWaitFor([&] {
      return form_->frameGeometry().size() == QSize(width, high) &&
             Find<QPlainTextEdit>("Result_Text")->geometry() == results;
    })) << w
        << " pixels wide, " << twips << " twips high";
  }
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }));
  Find<QPlainTextEdit>("Result_Text")->resize(Find<QPlainTextEdit>("Result_Text")->width(), 10);
  form_->Form_Resize();
  EXPECT_EQ(Find<QPlainTextEdit>("Result_Text")->height(), 10);
  form_->showNormal();
  EXPECT_TRUE(QTest::qWaitFor([&] {
    return Find<QPlainTextEdit>("Result_Text")->height() ==
           TwipsToPixels(8000) - TwipsToPixels(4650);
  }));
}

}  // namespace
}  // namespace serivane::app::testing
