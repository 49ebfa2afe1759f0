#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // The window tests need no screen; CTest sets this too, test discovery does not.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
