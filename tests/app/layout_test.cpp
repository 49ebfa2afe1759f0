// The window as the operator sees it: controls that stand apart inside their frames, the access
// keys, and how the window takes a new size.
#include <QLabel>
#include <QRegularExpression>

#include "tests/app/form_fixture.h"

namespace serivane::app::testing {
namespace {

using LayoutTest = FormTest;

TEST_F(LayoutTest, ControlsStandApartInsideTheirFramesAndKeysReachThem) {
  Start();
  ASSERT_TRUE(Activate() && WaitTick());
  // Every control lies inside its container and clear of its siblings (a label may reach into
  // the control it names); every check box has its caption on the left.
  const QList<QWidget*> all = form_->centralWidget()->findChildren<QWidget*>(
      QRegularExpression("_(Frame|Check|Check_\\d|Button|Label|Combo|Text)$"));
  ASSERT_EQ(all.size(), 17);
  for (QWidget* a : all) {
    EXPECT_TRUE(a->parentWidget()->rect().contains(a->geometry())) << a->objectName().toStdString();
    EXPECT_TRUE(!qobject_cast<QCheckBox*>(a) || a->layoutDirection() == Qt::RightToLeft);
    for (QWidget* b : all) {
      const auto* label = qobject_cast<QLabel*>(a);
      if (a != b && a->parentWidget() == b->parentWidget() && !(label && label->buddy() == b) &&
          b != Find<QLabel>("Com_Label")) {
        EXPECT_FALSE(a->geometry().intersects(b->geometry()))
            << a->objectName().toStdString() << " " << b->objectName().toStdString();
      }
    }
  }
  // A frame's or the label's access key moves the focus to the control after it in tab order, a
  // check box's toggles the box.
  Find<QCheckBox>("DTR_Check")->setFocus();  // the frame's key still goes to its first control
  Strings reached;
  for (Qt::Key key : {Qt::Key_C, Qt::Key_M, Qt::Key_T, Qt::Key_E, Qt::Key_D}) {
    QTest::keyClick(form_.get(), key, Qt::AltModifier);
    reached.push_back(QApplication::focusWidget()->objectName().toStdString());
  }
  EXPECT_EQ(reached,
            (Strings{"Com_Combo", "RTS_Check", "Test_Check_1", "Loop_Check", "DTR_Check"}));
  EXPECT_TRUE(QTest::qWaitFor([&] {
    return Find<QCheckBox>("Loop_Check")->isChecked() && !Find<QCheckBox>("DTR_Check")->isChecked();
  }));
}

// The outer width always comes back to 380 pixels (5700 twips), the height never stays below
// 367 (5500), and the results box takes every pixel of height above 310 (4650); minimized,
// nothing is resized.
TEST_F(LayoutTest, ResizeKeepsTheWidthAndGivesExtraHeightToTheResults) {
  Start();
  auto* results = Find<QPlainTextEdit>("Result_Text");
  // Asked width and height, and the outer height that results.
  const int sizes[][3] = {
      {340, 467, 467}, {420, 467, 467}, {380, 200, 367}, {380, 367, 367}, {380, 533, 533}};
  for (const auto& [width, height, high] : sizes) {
    const QSize frame = form_->frameGeometry().size() - form_->size();
    form_->resize(QSize(width, height) - frame);
    EXPECT_TRUE(QTest::qWaitFor([&, high = high] {
      return form_->frameGeometry().size() == QSize(380, high) && results->height() == high - 310;
    })) << width
        << "x" << height;
  }
  form_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form_->isMinimized(); }));
  results->resize(results->width(), 10);
  form_->Form_Resize();
  EXPECT_EQ(results->height(), 10);
  form_->showNormal();
  EXPECT_TRUE(QTest::qWaitFor([&] { return results->height() == 533 - 310; }));
}

}  // namespace
}  // namespace serivane::app::testing
